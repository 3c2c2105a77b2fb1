#pragma once

namespace station::cli {

// `vm418ctl [--db CONNECTION] params diff --system N --at T1 --at T2`: the fields that differ
// between the parameter blocks stored at or before T1 and T2. Returns the exit code.
int RunParamsDiffCommand(int argc, char** argv);

// True when the command line asks for `params diff`.
bool IsParamsDiffCommand(int argc, char** argv);

}  // namespace station::cli
