// Writes the seed corpus of every fuzz target with the project's own
// encoders: fuzz_make_corpus <fuzz folder> fills <fuzz folder>/corpus/<target>/.
// The files are committed; run this again after a wire format changes.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz/FuzzWire.h"

using namespace fuzz_wire;

namespace {

std::string g_root;

void put(const std::string& target, const std::string& name, const std::string& bytes)
{
    std::string dir = g_root + "/corpus/" + target;
    mkdir((g_root + "/corpus").c_str(), 0755);
    mkdir(dir.c_str(), 0755);
    std::string path = dir + "/" + name;
    FILE* file = fopen(path.c_str(), "wb");
    if (file == nullptr || fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size()) {
        perror(path.c_str());
        exit(1);
    }
    fclose(file);
}

std::string join(const std::vector<std::string>& parts)
{
    std::string out;
    for (const std::string& part : parts)
        out += part;
    return out;
}

// The body of a MIRP packet, after its header.
std::string body_of(const std::string& packet)
{
    return packet.substr(sizeof(MirpHeader));
}

void mirp_events()
{
    put("mirp_events", "one_group", body_of(mirp_sequence(7, 1, {{0, 5, 1, false}})[0]));
    put("mirp_events", "three_groups_with_delete",
        body_of(mirp_sequence(7, 1, {{0, 5, 1, true}, {1, 2, 4, false}, {2, 1, 2, true}})[0]));
    put("mirp_events", "unknown_instrument", body_of(mirp_sequence(7, 1, {{9, 1, 1, false}})[0]));
    put("mirp_events", "level_past_the_side", body_of(mirp_sequence(7, 1, {{1, 1, 21, false}})[0]));
    put("mirp_events", "empty", "");
}

void mirp_demuxer()
{
    put("mirp_demuxer", "next_packet", mirp_sequence(7, 1, {{0, 5, 1, false}})[0]);
    put("mirp_demuxer", "two_topics",
        mirp_sequence(7, 2, {{0, 1, 1, true}})[0] + mirp_sequence(8, 1, {{1, 3, 2, false}})[0]);
    // Enough groups for the encoder to cut a continued sequence.
    std::vector<MirpEvents> many;
    for (int i = 0; i < 60; ++i)
        many.push_back({i % 3, 1, 1 + i % 4, i % 2 == 0});
    put("mirp_demuxer", "continued_sequence", join(mirp_sequence(7, 3, many)));
    put("mirp_demuxer", "gap", mirp_sequence(8, 9, {{2, 1, 1, false}})[0]);
    put("mirp_demuxer", "heartbeat", mirp_sequence(7, 1, {}, MIRP_TYPE_Heartbeat)[0]);
}

void mdqp_client()
{
    put("mdqp_client", "snapshot",
        mdqp_packet(MDQP_TID_RspQryTopicSnap, LAST_QUERY, snapshot_body(7, 0)));
    std::string big = snapshot_body(7, 4, 6, 5);
    put("mdqp_client", "continued_snapshot",
        mdqp_packet(MDQP_TID_RspQryTopicSnap, LAST_QUERY, big.substr(0, 600), MDQP_FLAG_CONTINUE) +
            mdqp_packet(MDQP_TID_RspQryTopicSnap, LAST_QUERY, big.substr(600)));
    std::string gap;
    for (uint32_t no = 1; no <= 3; ++no)
        gap += raw_field(1, mirp_sequence(7, no, {{int(no % 3), 2, 1, no == 2}})[0]);
    put("mdqp_client", "gap_reply", mdqp_packet(MDQP_TID_RspQryTopicGap, LAST_QUERY, gap));
    put("mdqp_client", "snapshot_then_live_gap",
        mdqp_packet(MDQP_TID_RspQryTopicSnap, LAST_QUERY, snapshot_body(7, 10)) +
            mdqp_packet(MDQP_TID_RspQryTopicGap, QUERY_BEFORE_LAST, gap));
    put("mdqp_client", "query_error",
        mdqp_packet(MDQP_TID_RspQryTopicSnap, LAST_QUERY, rsp_info(-7002, "no data")));
    put("mdqp_client", "login_refused", login_response(1, -7003));
    put("mdqp_client", "heartbeats", mdqp_packet(MDQP_TID_Heartbeat, 0, "") + mdqp_packet(MDQP_TID_Heartbeat, 0, ""));
    put("mdqp_client", "half_packet",
        mdqp_packet(MDQP_TID_RspQryTopicSnap, LAST_QUERY, snapshot_body(7, 0)).substr(0, 100));
}

void texts()
{
    // The first byte picks the scheme: even tcp, odd udpg.
    put("location", "tcp", "0//127.0.0.1:5000");
    put("location", "udpg", "1//239.1.1.1:7000@10.0.0.255#10.0.0.1");
    put("location", "udpg_any_port", "1//239.3.0.1:*");
    put("location", "tcp_bad_port", "0//127.0.0.1:70000");

    put("json", "object", "{\"name\": \"topic\", \"id\": 7, \"depth\": 5.5, \"live\": true,"
                          " \"levels\": [1, 2, 3], \"inner\": {\"a\": [], \"b\": {}}}");
    put("json", "array", "[\"a\\n\\t\", -12, 1e3, false, [[1], [2, [3]]]]");
    put("json", "trailing_comma", "{\"a\": 1,}");
    // Written back without escapes, this string no longer parses.
    put("json", "escaped_quote", "[\"a\\\"a\\n[t\"]");

    put("ini", "plain", "# settings\nhost=127.0.0.1\nport=5000\nname=\nport=6000\n");
    put("ini", "odd_lines", "novalue\n=empty key\r\nkey = spaced value \n#\n");

    put("csv", "record", "InstrumentID,Volume,Price,Side\nIF2001,100,4000.2,0\n");
    put("csv", "quoted", "\"a,b\",\"say \"\"hi\"\"\",c\n\"1,2\",,3\r\n");
    put("csv", "open_quote", "a,b\n\"x,y\n");
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s FUZZ_FOLDER\n", argv[0]);
        return 2;
    }
    g_root = argv[1];
    mirp_events();
    mirp_demuxer();
    mdqp_client();
    texts();
    return 0;
}
