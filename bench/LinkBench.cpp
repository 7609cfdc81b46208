/*
 * Speed of the link engine's two hot paths: characters through the receiver
 * (a realistic stream of ACK frames with tracing off) and the master's
 * dispatches over one whole transaction of this master.
 */
#include <benchmark/benchmark.h>

#include <platform/Host.h>

#include "bench/ReceiverStream.h"
#include "link/HartTrace.h"
#include "sim/LinkHarness.h"

namespace {

void BM_ReceiverCharacters(benchmark::State& state)
{
    platform::Host host;
    host.SetDebugSink([](ULONG, ULONG, std::string_view) {});
    HartSetDebugLevel(0);
    sim::LinkHarness harness(host);
    const sim::Bytes stream = bench::ReceiverStream(1000, 1);
    WDFDEVICE device = harness.Device();
    for (auto _ : state) {
        for (UCHAR c : stream) {
            HartPortDataReceiverFsmProcessReceivedCharacter(device, &c, STATUS_SUCCESS);
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
}
BENCHMARK(BM_ReceiverCharacters);

/* All events of one transaction, from EVT_XMIT_REQ to the final EVT_BG_TIMEOUT. */
void BM_MasterTransaction(benchmark::State& state)
{
    platform::Host host;
    host.SetDebugSink([](ULONG, ULONG, std::string_view) {});
    HartSetDebugLevel(0);
    sim::LinkHarness harness(host);
    harness.StartLinkTimer();
    harness.Tick(37);
    WDFDEVICE device = harness.Device();
    PHARTDEVICE_CONTEXT context = harness.Context();
    /* The dispatches alone: no serial write work item and no client request to complete. */
    context->WorkItemWrite = nullptr;
    context->WorkItemRead = nullptr;
    for (auto _ : state) {
        FsmMasterProcessEvent(device, EVT_XMIT_REQ);
        FsmMasterProcessEvent(device, EVT_XMIT_DONE);
        FsmMasterProcessEvent(device, EVT_VAL_PRE);
        FsmMasterProcessEvent(device, EVT_RCV_ACK);
        FsmMasterProcessEvent(device, EVT_BG_TIMEOUT);
    }
    if (harness.State() != "STATE_BUS_FREE") {
        state.SkipWithError("transaction did not end in STATE_BUS_FREE");
    }
}
BENCHMARK(BM_MasterTransaction);

} // namespace

BENCHMARK_MAIN();
