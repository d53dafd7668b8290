#pragma once
// The test implementation of `transacted_calls`: a transaction is a journal of before-images.
//
// Untransacted calls (null handle) go straight to the platform. A call inside a transaction first
// records, once per transaction, the state of what it is about to change: a file's bytes and
// attributes, whether a directory existed, a whole registry key tree with its values; then it makes
// the change on the real file system or registry. Committing forgets the journal; rolling back, or
// closing a transaction that was not committed, puts the before-images back, the latest first.
// Changes are therefore visible to everyone at once (no isolation): the point is what a rollback
// leaves behind.
//
// Faults: `fail_call(n)` makes the n-th transacted file or registry call (counting from 1, over the
// object's life) fail with `error` without doing anything; `fail_commit()` makes every commit fail
// with error_transaction_not_active after rolling back, as the kernel does.
//
// Not thread-safe: one installation runs on one thread.

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include <platform/ktm/ktm.h>

namespace platform::ktm {

class emulated_transactions : public transacted_calls {
public:
    emulated_transactions();
    ~emulated_transactions() override;

    void fail_call(std::uint32_t n, DWORD error = ERROR_WRITE_FAULT) noexcept
    {
        fail_at_ = n;
        fail_error_ = error;
    }
    void fail_commit(bool on = true) noexcept { fail_commit_ = on; }
    // Transacted file and registry calls made so far.
    std::uint32_t calls() const noexcept { return calls_; }
    std::uint32_t transactions_created() const noexcept { return created_; }
    std::uint32_t rollbacks() const noexcept { return rollbacks_; }

    HANDLE create_transaction(const wchar_t* description) override;
    BOOL commit_transaction(HANDLE transaction) override;
    BOOL rollback_transaction(HANDLE transaction) override;
    void close_transaction(HANDLE transaction) override;

    BOOL create_directory(const std::wstring& path, HANDLE transaction) override;
    BOOL remove_directory(const std::wstring& path, HANDLE transaction) override;
    BOOL delete_file(const std::wstring& path, HANDLE transaction) override;
    BOOL copy_file(const std::wstring& source, const std::wstring& destination, HANDLE transaction) override;
    BOOL create_hard_link(const std::wstring& link, const std::wstring& existing, HANDLE transaction) override;
    DWORD get_attributes(const std::wstring& path, HANDLE transaction) override;
    BOOL set_attributes(const std::wstring& path, DWORD attributes, HANDLE transaction) override;
    HANDLE find_first(const std::wstring& pattern, WIN32_FIND_DATAW* data, HANDLE transaction) override;
    BOOL find_next(HANDLE find, WIN32_FIND_DATAW* data) override;

    LSTATUS reg_create_key(HKEY root, const std::wstring& path, REGSAM access, HKEY* key, HANDLE transaction) override;
    LSTATUS reg_open_key(HKEY root, const std::wstring& path, REGSAM access, HKEY* key, HANDLE transaction) override;
    LSTATUS reg_delete_key(HKEY root, const std::wstring& path, REGSAM view, HANDLE transaction) override;
    LSTATUS reg_set_value(HKEY key, const std::wstring& name, DWORD type, const void* data, DWORD size) override;
    LSTATUS reg_delete_tree(HKEY key) override;
    LSTATUS reg_delete_value(HKEY key, const std::wstring& name) override;

    struct journal; // before-images of one transaction

private:
    journal* find(HANDLE transaction);
    // Counts a transacted call; false (with the last error set) when it is the one to fail.
    bool next_call();
    void restore(journal& j);

    std::map<HANDLE, std::unique_ptr<journal>> open_;
    std::uint32_t calls_ = 0;
    std::uint32_t fail_at_ = 0;
    DWORD fail_error_ = ERROR_WRITE_FAULT;
    bool fail_commit_ = false;
    std::uint32_t created_ = 0;
    std::uint32_t rollbacks_ = 0;
};

} // namespace platform::ktm
