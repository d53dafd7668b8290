#pragma once
// Start-menu and desktop shortcuts: a shell link written from a component's shortcut record, its
// texts expanded over the package's properties.

#include <memory>
#include <string>

#include <tolvane/action_queue.h>
#include <tolvane/component.h>

namespace tolvane {

// Writes the link file at `path`. Not advertised (advertise not exactly "yes"): the link is kept out
// of the "new" highlight and, from Windows 8, not pinned on install.
HRESULT write_shortcut(const shortcut_record& record, const package& pkg, const std::wstring& path);

// The shortcut file is the folder joined with the expanded location. Inside a transaction the link
// is written to a temporary file first and copied in with the transaction, so that it goes with a
// rollback; without one its undo removes it. Nothing is done in a portable installation.
class install_shortcut_action final : public action {
public:
    // The record belongs to the component, which outlives the queue.
    install_shortcut_action(std::wstring folder, const shortcut_record* record)
        : folder_(std::move(folder)), record_(record)
    {
    }
    HRESULT execute(package& pkg, ActionQueue* undo, HANDLE transaction) override;
    void log_text(std::wstring& log) const override { log += L"Install shortcut " + record_->location; }
    void clone_for_delay(std::unique_ptr<action>&) const override {}

private:
    std::wstring folder_;
    const shortcut_record* record_;
};

} // namespace tolvane
