#pragma once
// The queues of the four run types. A builder walks the feature tree and asks each component of the
// features concerned to add its actions for one stage, so an installation holds all the folders
// first, then the files, the registrations, the shortcuts and the uninstall entry; an uninstallation
// goes the other way. The builders do not touch the machine.
//
// Which features a stage takes: an adding stage takes a feature that has no GUID or is newly chosen
// (selected and not installed); a removing stage one that has no GUID or was installed and is no
// longer chosen. Below a feature that is not taken, only an update looks further. A component is
// taken only when its conditions hold, and one whose operation fails (a start-menu folder without
// STARTMENU) keeps what it added and is passed over.

#include <tolvane/install_transaction.h>

namespace tolvane {

class package;

void init_install(package& pkg, queue_init& init);
void init_upgrade(package& pkg, queue_init& init);
void init_update(package& pkg, queue_init& init);
void init_uninstall(package& pkg, queue_init& init);

// The builder of a run type (1 to 4); false for any other type.
bool init_queue(package& pkg, std::uint32_t type, queue_init& init);

} // namespace tolvane
