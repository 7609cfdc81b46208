/*
 * Feeds a realistic receive stream through the receiver and prints how many
 * characters it fed; run under callgrind (bench/callgrind-receiver.sh) to get
 * the instructions per character.
 */
#include <cstdio>
#include <cstdlib>

#include <platform/Host.h>

#include "bench/ReceiverStream.h"
#include "link/HartTrace.h"

/* Kept out of line so that callgrind can charge the stream to it alone. */
__attribute__((noinline)) unsigned FeedReceiver(WDFDEVICE device, const sim::Bytes& stream)
{
    unsigned delivered = 0;
    for (UCHAR c : stream) {
        delivered += HartPortDataReceiverFsmProcessReceivedCharacter(device, &c, STATUS_SUCCESS);
    }
    return delivered;
}

int main(int argc, char** argv)
{
    int frames = (argc > 1) ? std::atoi(argv[1]) : 20000;
    platform::Host host;
    host.SetDebugSink([](ULONG, ULONG, std::string_view) {});
    HartSetDebugLevel(0);
    sim::LinkHarness harness(host);
    const sim::Bytes stream = bench::ReceiverStream(frames, 1);
    WDFDEVICE device = harness.Device();
    unsigned delivered = FeedReceiver(device, stream);
    std::printf("characters %zu frames %d delivered %u\n", stream.size(), frames, delivered);
    return delivered == static_cast<unsigned>(frames) ? 0 : 1;
}
