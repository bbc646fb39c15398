// Internal to the bridge and its consumer tool: every line they print, in
// one place.
#pragma once

namespace korv_bridge {
namespace text {

constexpr const char* BRIDGE_USAGE =
    "usage:\n%s [options] topic_id[,topic_id...] mdqp_location mirp_location participant_id "
    "user_id password\n\n"
    "options:\n"
    "  --nats URL[,URL...]     NATS servers (nats://127.0.0.1:4222)\n"
    "  --stream NAME           JetStream stream (KORV_MD)\n"
    "  --replicas N            stream replicas (1)\n"
    "  --memory                keep the stream in memory, not in files\n"
    "  --prefix SUBJECT        subject prefix (korv.md)\n"
    "  --name NAME             bridge name in the liveness subject (korv_md_bridge)\n"
    "  --user U --password P   NATS user and password\n"
    "  --token-file FILE       NATS token, read from the file's first line\n"
    "  --tls                   require TLS; --tls-ca FILE, --tls-cert FILE --tls-key FILE\n"
    "  --max-pending N         unacknowledged publishes at most (4096)\n"
    "  --liveness-ms N         liveness and counters period (1000)\n";

constexpr const char* CONSUMER_USAGE =
    "usage:\n%s [options]\n\n"
    "Prints the book published by korv_md_bridge, one line per update in the test\n"
    "application's format.\n\n"
    "options:\n"
    "  --nats URL[,URL...]     NATS servers (nats://127.0.0.1:4222)\n"
    "  --prefix SUBJECT        subject prefix (korv.md)\n"
    "  --topic N               one topic only (all)\n"
    "  --replicas N            consumer replicas (1; 3 in a cluster rides out a server)\n"
    "  --durable NAME          a durable consumer of that name\n"
    "  --until-whole-idle MS   exit once the book is whole and nothing came for MS\n"
    "  --latency               print receipt latency percentiles on exit (stderr)\n"
    "  --user U --password P, --token-file FILE, --tls, --tls-ca/--tls-cert/--tls-key\n";

constexpr const char* BAD_ARGUMENT = "%s: bad argument \"%s\"\n";
constexpr const char* BAD_TOPIC = "%s: topic ids are numbers from 0 to 65535, not \"%s\"\n";
constexpr const char* TOKEN_FILE = "%s: cannot read a token from %s\n";
constexpr const char* NATS_FAILED = "%s: %s: %s\n";
constexpr const char* BAD_LOCATION = "%s: \"%s\" is not a query server location (error %d)\n";
constexpr const char* STREAM_WAIT = "%s: waiting for stream %s: %s (%d)\n";
constexpr const char* WHOLE = "# whole: %zu instruments\n";
constexpr const char* BRIDGE_COUNTERS =
    "{\"name\":\"%s\",\"messages\":%llu,\"bytes\":%llu,\"publish_errors\":%llu,"
    "\"reconnects\":%llu,\"updates\":%llu,\"instruments\":%llu,\"republished\":%llu,"
    "\"delivered\":%llu,\"conflated\":%llu,\"dropped\":%llu}";
constexpr const char* LATENCY = "latency_us: count %zu median %.1f p99 %.1f max %.1f\n";

}  // namespace text
}  // namespace korv_bridge
