// Internal: the framework's result codes. Operations return 0 (or a byte
// count) on success and a negated errno value on failure; -1 means "not now"
// (would block, incomplete, queued), never a hard failure.
#pragma once

constexpr int EC_NONE = 0;
constexpr int EC_WOULDBLOCK = -1;
constexpr int EC_ERROR = -2;
constexpr int EC_ACCESS = -3;
constexpr int EC_OUT_OF_BOUNDS = -4;
constexpr int EC_OPERATION = -5;
constexpr int EC_INSUF_BUFFER = -6;
constexpr int EC_READ = -7;
constexpr int EC_WRITE = -8;
constexpr int EC_FORMAT = -9;
constexpr int EC_TIMEOUT = -10;
constexpr int EC_DISCARD = -11;
constexpr int EC_EXIST = -12;
constexpr int EC_PARAM = -13;
constexpr int EC_MISMATCH = -14;
constexpr int EC_NOENT = -15;
constexpr int EC_INVAL = -16;
constexpr int EC_INPROGESS = -17;
constexpr int EC_REFUSED = -18;
constexpr int EC_CLOSED = -19;
constexpr int EC_INCOMPLETE = -20;
constexpr int EC_SEQUENCE_NUM = -21;
constexpr int EC_CONGESTION = -22;
constexpr int EC_UNREACHABLE = -22;
