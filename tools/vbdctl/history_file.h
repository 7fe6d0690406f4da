// Where vbdctl's interactive prompt keeps its history: the user's state
// folder, made on first use; no history when there is none or it cannot be
// written.
#pragma once

#include <string>

namespace vbdctl {

// $XDG_STATE_HOME/vbdctl/history (an absolute XDG_STATE_HOME only), else
// $HOME/.local/state/vbdctl/history. Missing folders are made with mode
// 0700 and the file with 0600. "" when neither variable gives a folder, or
// the folder or the file cannot be made or written.
std::string history_file_path();

}  // namespace vbdctl
