// One worker thread per press of the install button.
#pragma once

namespace vantrel {

class InstallerApp;

// UI thread only, while busy is false. Throws std::system_error when the
// thread can't be started (after putting the window back in its idle state).
void StartWorker(InstallerApp& app);

// The thread body: runtime update, product installation, end message.
void RunWorker(InstallerApp& app) noexcept;

}  // namespace vantrel
