// Keeps a library target valid while none of its areas has sources yet.
