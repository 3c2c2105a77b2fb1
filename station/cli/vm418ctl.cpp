// vm418ctl: the station program's command-line companion.
#include <cstdio>
#include <cstring>

#include "link_command.h"

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "link") == 0)
        return station::cli::RunLinkCommand(argc - 1, argv + 1);
    std::fputs("usage: vm418ctl link fetch|send ...\n", stderr);
    return 2;
}
