// Any bytes on the HM-210 line, in any command state, must leave the link record within its
// bounds; any 31 bytes must decode (or fail their check) without harm.

#include <cstddef>
#include <cstdint>

#include "reply_machine.h"
#include "settings_block.h"

namespace {
// Command codes the screens put the link in, so that every phase of the machine is reached.
constexpr int32_t kStates[] = {0,  1,  6,  7,   9,   10,  11,  13,  15, 18,
                               24, 33, 35, 207, 211, 212, 213, 401, 402};
constexpr const char* kCommands[] = {"S", "n", "H", "J", "P"};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    prm::LinkState s;
    s.state = kStates[data[0] % (sizeof kStates / sizeof kStates[0])];
    prm::setCommandBytes(s, kCommands[data[1] % 5]);
    for (size_t i = 2; i < size; ++i) {
        const prm::ReplyOwner owner = prm::processByte(s, data[i]);
        if (s.receivedCount < 0 || s.receivedCount > prm::kReplyDataSize) __builtin_trap();
        // A handler that consumes what it was given, as the stream handlers do.
        if (owner != prm::ReplyOwner::None) s.readIndex = s.receivedCount;
    }
    if (size >= prm::kSettingsReadBlockSize) {
        prm::UserSettings settings;
        if (prm::readBlockValid(data)) prm::decodeReadBlock(data, settings);
        (void)prm::fieldTextsOf(data);
    }
    return 0;
}
