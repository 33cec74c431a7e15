#include "serve/wire.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <ctime>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace wire {

Encoder& Encoder::u8(uint8_t v)
{
    b_.push_back(v);
    return *this;
}

Encoder& Encoder::u32(uint32_t v)
{
    for (int i = 0; i < 4; i++)
        b_.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return *this;
}

Encoder& Encoder::u64(uint64_t v)
{
    for (int i = 0; i < 8; i++)
        b_.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return *this;
}

Encoder& Encoder::bytes(std::span<const uint8_t> b)
{
    u32(static_cast<uint32_t>(b.size()));
    b_.insert(b_.end(), b.begin(), b.end());
    return *this;
}

Encoder& Encoder::str(const std::string& s)
{
    return bytes({reinterpret_cast<const uint8_t*>(s.data()), s.size()});
}

bool Decoder::take(size_t n)
{
    if (!ok_ || b_.size() - pos_ < n)
        ok_ = false;
    return ok_;
}

uint8_t Decoder::u8()
{
    return take(1) ? b_[pos_++] : 0;
}

uint32_t Decoder::u32()
{
    if (!take(4))
        return 0;
    uint32_t v = 0;
    for (int i = 0; i < 4; i++)
        v |= uint32_t(b_[pos_++]) << (8 * i);
    return v;
}

uint64_t Decoder::u64()
{
    if (!take(8))
        return 0;
    uint64_t v = 0;
    for (int i = 0; i < 8; i++)
        v |= uint64_t(b_[pos_++]) << (8 * i);
    return v;
}

std::span<const uint8_t> Decoder::bytes(uint32_t max)
{
    uint32_t n = u32();
    if (n > max)
        ok_ = false;
    if (!take(n))
        return {};
    auto out = b_.subspan(pos_, n);
    pos_ += n;
    return out;
}

std::string Decoder::str(uint32_t max)
{
    auto b = bytes(max);
    return {reinterpret_cast<const char*>(b.data()), b.size()};
}

namespace {

bool send_all(int fd, const uint8_t* p, size_t n)
{
    while (n > 0) {
        ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

int64_t now_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Waits until fd is readable or the monotonic clock reaches deadline_ms (-1: no deadline);
// false when the deadline passed or the wait failed.
bool wait_readable(int fd, int64_t deadline_ms)
{
    if (deadline_ms < 0)
        return true;
    for (;;) {
        int64_t left = deadline_ms - now_ms();
        if (left <= 0)
            return false;
        pollfd p{fd, POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>(std::min<int64_t>(left, INT32_MAX)));
        if (r < 0 && errno == EINTR)
            continue;
        if (r != 0)
            return r > 0;
    }
}

// Reads exactly n bytes: n when read, 0 when the peer closed before the first byte, -1 on
// an error or a close part way. Once the frame has begun (*deadline_ms set, or set here by
// the first byte from timeout_ms), bytes that do not come by the deadline are an error.
ssize_t recv_all(int fd, uint8_t* p, size_t n, int timeout_ms, int64_t* deadline_ms)
{
    size_t got = 0;
    while (got < n) {
        if (*deadline_ms >= 0 && !wait_readable(fd, *deadline_ms))
            return -1;
        ssize_t r = ::recv(fd, p + got, n - got, 0);
        if (r < 0 && errno == EINTR)
            continue;
        if (r == 0 && got == 0)
            return 0;
        if (r <= 0)
            return -1;
        if (timeout_ms >= 0 && *deadline_ms < 0)
            *deadline_ms = now_ms() + timeout_ms;
        got += static_cast<size_t>(r);
    }
    return static_cast<ssize_t>(got);
}

} // namespace

bool send_frame(int fd, std::span<const uint8_t> body)
{
    uint8_t len[4];
    for (int i = 0; i < 4; i++)
        len[i] = static_cast<uint8_t>(body.size() >> (8 * i));
    return send_all(fd, len, 4) && send_all(fd, body.data(), body.size());
}

Received recv_frame(int fd, std::vector<uint8_t>& body, uint32_t max, int rest_timeout_ms)
{
    uint8_t len[4];
    int64_t deadline = -1;
    ssize_t r = recv_all(fd, len, 4, rest_timeout_ms, &deadline);
    if (r == 0)
        return Received::Closed;
    if (r < 0)
        return Received::Bad;
    uint32_t n = uint32_t(len[0]) | uint32_t(len[1]) << 8 | uint32_t(len[2]) << 16 | uint32_t(len[3]) << 24;
    if (n > max)
        return Received::Bad;
    body.resize(n);
    bool whole = n == 0 || recv_all(fd, body.data(), n, rest_timeout_ms, &deadline) == static_cast<ssize_t>(n);
    return whole ? Received::Frame : Received::Bad;
}

} // namespace wire
