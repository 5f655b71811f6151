// Micro-benchmarks of the clip path: our AES-GCM wrapper beside raw OpenSSL,
// sealing and opening whole clips, base64url, the request reader, and the
// nearby host waking 31 waiting polls with one post. The host binds its fixed
// ports: run this inside a network namespace (bench/micro.sh does).
#include "aes_gcm.h"
#include "clip.h"
#include "encoding.h"
#include "http_request.h"
#include "local_host.h"
#include "records.h"

#include <algorithm>
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cmath>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <nlohmann/json.hpp>
#include <openssl/evp.h>
#include <optional>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace zephlink;
using Clock = std::chrono::steady_clock;

Bytes filled(std::size_t n) {
    Bytes bytes(n);
    for (std::size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<std::uint8_t>(i * 131 + 7);
    return bytes;
}

const Bytes kKey = filled(kAesKeyBytes);
const Bytes kNonce = filled(kAesNonceBytes);
const Bytes kAssociated = filled(100); // about the size of a clip's

void ourSeal(benchmark::State& state) {
    const Bytes plain = filled(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(aesGcmSeal(kKey, kNonce, kAssociated, plain));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

void ourOpen(benchmark::State& state) {
    const Bytes sealed =
        aesGcmSeal(kKey, kNonce, kAssociated, filled(static_cast<std::size_t>(state.range(0))));
    for (auto _ : state)
        benchmark::DoNotOptimize(aesGcmOpen(kKey, kNonce, kAssociated, sealed));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

// What a caller writing straight to OpenSSL would do per message: a fresh
// context on a cipher fetched once, one output buffer reused.
void rawSeal(benchmark::State& state) {
    const Bytes plain = filled(static_cast<std::size_t>(state.range(0)));
    EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr);
    Bytes out(plain.size() + kAesTagBytes);
    for (auto _ : state) {
        EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
        int n = 0;
        int tail = 0;
        if (EVP_EncryptInit_ex2(context, cipher, kKey.data(), kNonce.data(), nullptr) != 1 ||
            EVP_EncryptUpdate(context, nullptr, &n, kAssociated.data(),
                              static_cast<int>(kAssociated.size())) != 1 ||
            EVP_EncryptUpdate(context, out.data(), &n, plain.data(),
                              static_cast<int>(plain.size())) != 1 ||
            EVP_EncryptFinal_ex(context, out.data() + n, &tail) != 1 ||
            EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_GCM_GET_TAG, kAesTagBytes,
                                out.data() + plain.size()) != 1)
            state.SkipWithError("OpenSSL failed");
        EVP_CIPHER_CTX_free(context);
        benchmark::DoNotOptimize(out.data());
    }
    EVP_CIPHER_free(cipher);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

void rawOpen(benchmark::State& state) {
    const std::size_t size = static_cast<std::size_t>(state.range(0));
    Bytes sealed = aesGcmSeal(kKey, kNonce, kAssociated, filled(size));
    EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr);
    Bytes out(size);
    for (auto _ : state) {
        EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
        int n = 0;
        int tail = 0;
        if (EVP_DecryptInit_ex2(context, cipher, kKey.data(), kNonce.data(), nullptr) != 1 ||
            EVP_DecryptUpdate(context, nullptr, &n, kAssociated.data(),
                              static_cast<int>(kAssociated.size())) != 1 ||
            EVP_DecryptUpdate(context, out.data(), &n, sealed.data(), static_cast<int>(size)) !=
                1 ||
            EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_GCM_SET_TAG, kAesTagBytes,
                                sealed.data() + size) != 1 ||
            EVP_DecryptFinal_ex(context, out.data() + n, &tail) != 1)
            state.SkipWithError("OpenSSL failed");
        EVP_CIPHER_CTX_free(context);
        benchmark::DoNotOptimize(out.data());
    }
    EVP_CIPHER_free(cipher);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

BENCHMARK(ourSeal)->Arg(1024)->Arg(32768);
BENCHMARK(rawSeal)->Arg(1024)->Arg(32768);
BENCHMARK(ourOpen)->Arg(1024)->Arg(32768);
BENCHMARK(rawOpen)->Arg(1024)->Arg(32768);

Group benchGroup() {
    return Group::make("http://127.0.0.1:8788", identifier(), encode64(random(32)),
                       encode64(random(32)));
}

// A whole clip: JSON of the body, base64url and AES-GCM.
void sealClip(benchmark::State& state) {
    const Group group = benchGroup();
    const std::string text(static_cast<std::size_t>(state.range(0)), 'x');
    const std::string origin = identifier();
    for (auto _ : state)
        benchmark::DoNotOptimize(seal(text, group, origin));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

void openWholeClip(benchmark::State& state) {
    const Group group = benchGroup();
    const Envelope envelope =
        seal(std::string(static_cast<std::size_t>(state.range(0)), 'x'), group, identifier());
    for (auto _ : state)
        benchmark::DoNotOptimize(openClip(envelope, group));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

BENCHMARK(sealClip)->Arg(1024)->Arg(32768);
BENCHMARK(openWholeClip)->Arg(1024)->Arg(32768);

constexpr std::size_t kBase64Bytes = 40 * 1024;

void base64Encode(benchmark::State& state) {
    const Bytes bytes = filled(kBase64Bytes);
    for (auto _ : state)
        benchmark::DoNotOptimize(encode64(bytes));
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(kBase64Bytes));
}

void base64Decode(benchmark::State& state) {
    const std::string text = encode64(filled(kBase64Bytes));
    for (auto _ : state)
        benchmark::DoNotOptimize(decode64(text));
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(kBase64Bytes));
}

BENCHMARK(base64Encode);
BENCHMARK(base64Decode);

// A post of the largest clip, as it comes off the wire in 4 KiB reads.
std::string fullPost(const Group& group) {
    const Envelope envelope = seal(std::string(kMaxTextBytes, 'x'), group, identifier());
    const std::string body = nlohmann::json(envelope).dump();
    return "POST /v1/rooms/" + group.room +
           "/clips HTTP/1.1\r\nHost: 10.0.0.2:8788\r\nAccept: */*\r\n"
           "Content-Type: application/json\r\nAuthorization: Bearer " +
           group.token + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

void readFullPost(benchmark::State& state) {
    const std::string wire = fullPost(benchGroup());
    for (auto _ : state) {
        std::size_t at = 0;
        const ByteSource source = [&](std::span<char> into) -> ssize_t {
            const std::size_t n = std::min({into.size(), kReceiveChunk, wire.size() - at});
            std::copy_n(wire.data() + at, n, into.data());
            at += n;
            return static_cast<ssize_t>(n);
        };
        ReadResult result = readRequest(source);
        if (!std::holds_alternative<HttpRequest>(result))
            state.SkipWithError("the reader refused the post");
        benchmark::DoNotOptimize(result);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(wire.size()));
}

BENCHMARK(readFullPost);

// --- the nearby host waking its waiting polls ---------------------------------

// From source, any 127/8 address: each counts as a peer of its own.
int connectToHost(in_addr_t source) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(source);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(8788);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0 ||
        ::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
        if (fd >= 0)
            ::close(fd);
        throw std::runtime_error("cannot reach the host (run inside a network namespace)");
    }
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

void sendAll(int fd, const std::string& bytes) {
    std::size_t at = 0;
    while (at < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
        if (n <= 0)
            throw std::runtime_error("send failed");
        at += static_cast<std::size_t>(n);
    }
}

// Reads every connection until the host closes it; the bytes each sent, or
// nothing after 5 seconds.
std::optional<std::vector<std::size_t>> drain(const std::vector<int>& fds) {
    std::vector<pollfd> wanted;
    for (const int fd : fds)
        wanted.push_back({fd, POLLIN, 0});
    std::vector<std::size_t> got(fds.size(), 0);
    std::size_t open = wanted.size();
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    char sink[65536];
    while (open > 0) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 ||
            ::poll(wanted.data(), wanted.size(), static_cast<int>(left.count())) <= 0)
            return std::nullopt;
        for (std::size_t i = 0; i < wanted.size(); ++i) {
            pollfd& p = wanted[i];
            if (p.fd < 0 || p.revents == 0)
                continue;
            const ssize_t n = ::recv(p.fd, sink, sizeof sink, 0);
            if (n <= 0) {
                p.fd = -1;
                --open;
            } else {
                got[i] += static_cast<std::size_t>(n);
            }
        }
    }
    return got;
}

double rank(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    const auto r =
        static_cast<std::size_t>(std::ceil(p / 100.0 * static_cast<double>(values.size())));
    return values[std::max<std::size_t>(r, 1) - 1];
}

// From the post's sending until all 31 waiting polls and the post have their
// whole answers (the host closes each connection after its answer).
void hostWakesPolls(benchmark::State& state) {
    constexpr int kPolls = 31;
    auto host = LocalHost::create(identifier(), "Benchmark");
    if (!host->start()) {
        state.SkipWithError("the host did not start (ports taken?)");
        return;
    }
    const Group& group = host->group();
    const std::string auth = "Authorization: Bearer " + group.token + "\r\n";
    const std::string clips = "/v1/rooms/" + group.room + "/clips";
    std::vector<double> samples;
    std::int64_t cursor = 0;
    int round = 0;
    for (auto _ : state) {
        // A new peer every ten rounds stays inside the host's rate limit.
        const in_addr_t peer = INADDR_LOOPBACK + 0x10000u + static_cast<in_addr_t>(round++ / 10);
        std::vector<int> polls;
        for (int i = 0; i < kPolls; ++i) {
            polls.push_back(connectToHost(peer));
            sendAll(polls.back(), "GET " + clips + "?after=" + std::to_string(cursor) +
                                      "&wait=20 HTTP/1.1\r\n" + auth + "\r\n");
        }
        // Every poll is waiting on the host before the post.
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        const Envelope envelope = seal("a clip for everyone", group, identifier());
        const std::string body = nlohmann::json(envelope).dump();
        const std::string post =
            "POST " + clips + " HTTP/1.1\r\n" + auth +
            "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
            "\r\n\r\n" + body;
        // A slot still held by the last round's connections refuses the
        // post without a word: it is sent again.
        std::optional<double> micros;
        for (int attempt = 0; attempt < 50 && !micros; ++attempt) {
            const int poster = connectToHost(peer);
            const auto started = Clock::now();
            sendAll(poster, post);
            std::vector<int> all = polls;
            all.push_back(poster);
            const auto got = drain(all);
            ::close(poster);
            if (!got)
                break;
            if (std::count(got->begin(), got->end(), 0u) > (got->back() > 0 ? 0 : 1))
                break; // a poll was refused: not 31 waiting
            if (got->back() > 0)
                micros = std::chrono::duration<double, std::micro>(Clock::now() - started).count();
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        for (const int fd : polls)
            ::close(fd);
        if (!micros) {
            state.SkipWithError("a poll was not answered");
            break;
        }
        state.SetIterationTime(*micros / 1e6);
        samples.push_back(*micros);
        ++cursor;
        // The host's connection slots come free before the next round.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    host->stop();
    host->waitUntilFinished(std::chrono::seconds(5));
    if (!samples.empty()) {
        state.counters["p50_us"] = rank(samples, 50);
        state.counters["p99_us"] = rank(samples, 99);
    }
}

BENCHMARK(hostWakesPolls)->UseManualTime()->Iterations(200)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
