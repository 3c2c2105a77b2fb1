// `vm418ctl link`: the field engineer's low-level tool over the station link alone.
#pragma once

namespace station::cli {

int RunLinkCommand(int argc, char** argv);

}  // namespace station::cli
