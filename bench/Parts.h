#pragma once
// The parts of lockhub_bench in files of their own: how one gateway's trouble stays with
// it, what the TLS listener costs, how lockhub scales with its gateways; lockhub_bench.cpp
// runs them after its own parts (see Part).

#include "bench/BenchSupport.h"

namespace Bench {

// 8 gateways, 4 of them failing in different ways, against 8 healthy ones.
bool MeasureIsolation(const TempDir& folder, const Options& options, Summary& summary);
// A door command behind a queue of whitelist changes to the same gateway.
bool MeasureDoorFirst(const TempDir& folder, const Options& options, Summary& summary);
// A gateway gone for a while and back on the same port.
bool MeasureRestart(const TempDir& folder, const Options& options, Summary& summary);
// Door commands while nobody reads lockhub's standard output.
bool MeasureLogStall(const TempDir& folder, const Options& options, Summary& summary);
// The same request flood with the audit trail off and on.
bool MeasureAuditFlood(const TempDir& folder, const Options& options, Summary& summary);
// A burst of door commands with "AuditSync" "interval" and "before-send".
bool MeasureAuditSync(const TempDir& folder, const Options& options, Summary& summary);
// TLS against plain round trips, idle TLS clients, and handshakes.
bool MeasureTls(const TempDir& folder, const Options& options, Summary& summary);
// The MQTT bridge on its own against a real broker: events, commands, a stalled broker.
bool MeasureMqtt(const TempDir& folder, const Options& options, Summary& summary);
// The CPU cost of one scrape of /metrics; door commands while it is scraped.
bool MeasureMetricsScrape(const TempDir& folder, const Options& options, Summary& summary);
// A reload of 100 gateways with one changed, beside door commands.
bool MeasureReload(const TempDir& folder, const Options& options, Summary& summary);
// Threads, memory, idle CPU and door commands with 8 and with 1,000 gateways.
bool MeasureScale(const TempDir& folder, const Options& options, Summary& summary);
// Home Assistant discovery of 1,000 locks, and door commands through its set topic.
bool MeasureHomeAssistant(const TempDir& folder, const Options& options, Summary& summary);

}  // namespace Bench
