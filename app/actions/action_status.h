// Where the camera actions report their progress. The window program
// implements it on its view (statusText, the frame's status pane and a message
// box); teliox-cli prints the texts and asks on the terminal.
#pragma once

#include <atomic>
#include <memory>
#include <string>

struct IActionStatus {
    virtual ~IActionStatus() = default;
    // Sets the status text only; the view's timer shows it later.
    virtual void SetStatusText(const std::string& text) = 0;
    // Sets the status text and pushes it to the status pane at once.
    virtual void ShowStatus(const std::string& text) = 0;
    // Asks a question with the answers Yes and No; true means Yes.
    virtual bool AskYesNo(const std::string& question) = 0;
};

// Set by the window when it closes: an action running on a worker thread
// gives up at its next wait (within about a tenth of a second) and writes
// nothing more. Empty: the action runs to its end.
using CancelFlag = std::shared_ptr<std::atomic<bool>>;

inline bool IsCancelled(const CancelFlag& flag) { return flag && flag->load(); }
