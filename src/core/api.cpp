#include "api.h"

#include "aes_gcm.h"
#include "encoding.h"
#include "errors.h"
#include "server_address.h"

#include <algorithm>
#include <cmath>
#include <curl/curl.h>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <stdexcept>

namespace zephlink::API {
namespace {

struct EasyFree {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct ListFree {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct MultiFree {
    void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
using Easy = std::unique_ptr<CURL, EasyFree>;
using HeaderList = std::unique_ptr<curl_slist, ListFree>;
using Multi = std::unique_ptr<CURLM, MultiFree>;

// Runs one transfer. curl_easy_perform wakes every second while it waits;
// a long poll held for 20 s should sleep until its answer or its time-out.
CURLcode perform(CURL* handle) {
    const Multi multi(curl_multi_init());
    if (!multi || curl_multi_add_handle(multi.get(), handle) != CURLM_OK)
        return curl_easy_perform(handle);
    CURLcode result = CURLE_FAILED_INIT;
    int running = 1;
    while (running != 0) {
        if (curl_multi_perform(multi.get(), &running) != CURLM_OK)
            break;
        if (running == 0)
            break;
        long wait = -1;
        if (curl_multi_timeout(multi.get(), &wait) != CURLM_OK || wait < 0)
            wait = 1000;
        if (curl_multi_poll(multi.get(), nullptr, 0, static_cast<int>(std::min(wait, 60000L)),
                            nullptr) != CURLM_OK)
            break;
    }
    int queued = 0;
    while (const CURLMsg* message = curl_multi_info_read(multi.get(), &queued)) {
        if (message->msg == CURLMSG_DONE && message->easy_handle == handle)
            result = message->data.result;
    }
    curl_multi_remove_handle(multi.get(), handle);
    return result;
}

[[noreturn]] void fail(std::string_view message) {
    throw DazarError(std::string(message));
}

void globalInit() {
    static std::once_flag once;
    static CURLcode status = CURLE_OK;
    std::call_once(once, [] { status = curl_global_init(CURL_GLOBAL_DEFAULT); });
    if (status != CURLE_OK)
        fail(msg::networkUnavailable);
}

// Why the write callback stopped the transfer, so that our own abort is never
// mistaken for a transport error.
enum class Stop { none, tooLarge, statusKnown };

struct Transfer {
    CURL* handle = nullptr;
    std::string body;
    Stop stop = Stop::none;
};

bool isSuccess(long status) {
    return status >= 200 && status <= 299;
}

// The body of a 2xx answer streams in here, never more than the cap. The
// body of any other answer is not wanted: its status decides the outcome.
std::size_t receive(char* data, std::size_t size, std::size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    const std::size_t n = size * count;
    long status = 0;
    if (curl_easy_getinfo(transfer->handle, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK ||
        !isSuccess(status)) {
        transfer->stop = Stop::statusKnown;
        return CURL_WRITEFUNC_ERROR;
    }
    curl_off_t declared = -1;
    if (curl_easy_getinfo(transfer->handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &declared) ==
            CURLE_OK &&
        declared > static_cast<curl_off_t>(kMaxResponseBytes)) {
        transfer->stop = Stop::tooLarge;
        return CURL_WRITEFUNC_ERROR;
    }
    if (n > kMaxResponseBytes - transfer->body.size()) {
        transfer->stop = Stop::tooLarge;
        return CURL_WRITEFUNC_ERROR;
    }
    transfer->body.append(data, n);
    return n;
}

// A path or token that would break the request line or a header (CR, LF,
// NUL, spaces) must never reach the wire.
bool isPathText(std::string_view path) {
    if (path.empty() || path.front() != '/')
        return false;
    for (const char c : path) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u >= 0x7f || c == '#')
            return false;
    }
    return true;
}

bool isTokenText(std::string_view token) {
    for (const char c : token) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f)
            return false;
    }
    return true;
}

bool isMethodText(std::string_view method) {
    if (method.empty())
        return false;
    for (const char c : method) {
        if (c < 'A' || c > 'Z')
            return false;
    }
    return true;
}

// libcurl reads 0 as "no limit"; every request here has one.
long timeoutMilliseconds(double seconds) {
    constexpr double longest = 24.0 * 3600.0 * 1000.0;
    if (!(seconds > 0))
        return 1;
    const double ms = std::ceil(seconds * 1000.0);
    return static_cast<long>(std::min(ms, longest));
}

template <typename Value> void set(CURL* handle, CURLoption option, Value value) {
    if (curl_easy_setopt(handle, option, value) != CURLE_OK)
        fail(msg::networkUnavailable);
}

void append(HeaderList& list, const std::string& line) {
    curl_slist* extended = curl_slist_append(list.get(), line.c_str());
    if (extended == nullptr)
        fail(msg::networkUnavailable);
    static_cast<void>(list.release());
    list.reset(extended);
}

void checkRoom(std::string_view room) {
    if (!validID(room))
        fail(msg::invalidGroup);
}

std::string relayCall(const Group& group, const std::string& path, std::string_view method,
                      std::optional<std::string> body = std::nullopt) {
    return request(group.server, path, group.token, method, std::move(body), kRelayTimeoutSeconds);
}

} // namespace

std::string request(std::string_view server, std::string_view path,
                    std::optional<std::string> token, std::string_view method,
                    std::optional<std::string> body, double timeoutSeconds) {
    const std::string base = serverURL(server);
    if (!isPathText(path))
        throw std::invalid_argument("Request path does not form a URL");
    if (!isMethodText(method))
        throw std::invalid_argument("Invalid request method");
    if (token && !isTokenText(*token))
        throw std::invalid_argument("Bearer token holds control characters");
    const std::string url = base + std::string(path);

    globalInit();
    const Easy easy(curl_easy_init());
    if (!easy)
        fail(msg::networkUnavailable);
    CURL* handle = easy.get();
    Transfer transfer;
    transfer.handle = handle;

    set(handle, CURLOPT_URL, url.c_str());
    set(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    // Worker threads call this; libcurl must not touch signals there.
    set(handle, CURLOPT_NOSIGNAL, 1L);
    set(handle, CURLOPT_FOLLOWLOCATION, 0L);
    // Environment proxy variables must not reroute a clip server's traffic.
    set(handle, CURLOPT_PROXY, "");
    set(handle, CURLOPT_TIMEOUT_MS, timeoutMilliseconds(timeoutSeconds));
    set(handle, CURLOPT_WRITEFUNCTION, &receive);
    set(handle, CURLOPT_WRITEDATA, static_cast<void*>(&transfer));

    static const std::string noBody;
    if (method == "GET") {
        set(handle, CURLOPT_HTTPGET, 1L);
    } else if (method == "DELETE" || (!body && method != "POST")) {
        set(handle, CURLOPT_CUSTOMREQUEST, std::string(method).c_str());
    } else {
        // body lives until this function returns, past the transfer.
        const std::string& bytes = body ? *body : noBody;
        set(handle, CURLOPT_POST, 1L);
        set(handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(bytes.size()));
        set(handle, CURLOPT_POSTFIELDS, bytes.data());
        if (method != "POST")
            set(handle, CURLOPT_CUSTOMREQUEST, std::string(method).c_str());
    }

    HeaderList headers;
    append(headers, "Content-Type: application/json");
    if (token)
        append(headers, "Authorization: Bearer " + *token);
    // No "Expect: 100-continue" round trip before a clip body.
    append(headers, "Expect:");
    set(handle, CURLOPT_HTTPHEADER, headers.get());

    const CURLcode result = perform(handle);
    if (transfer.stop == Stop::tooLarge)
        fail(msg::responseTooLarge);
    if (result != CURLE_OK && transfer.stop != Stop::statusKnown)
        fail(msg::relayUnavailable);
    long status = 0;
    if (curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK || status == 0)
        fail(msg::networkUnavailable);
    if (status == 401)
        fail(msg::repairRequired);
    if (!isSuccess(status))
        fail(std::string(msg::relayReturnedHttp) + std::to_string(status));
    return std::move(transfer.body);
}

Group create(std::string_view server) {
    const std::string base = serverURL(server);
    const std::string answer =
        request(base, roomsPath(), std::nullopt, "POST", std::string("{}"), kRelayTimeoutSeconds);
    const auto parsed = nlohmann::json::parse(answer);
    if (!parsed.is_object() || !parsed.contains("room") || !parsed.contains("token"))
        fail(msg::invalidRelayResponse);
    for (const auto& member : parsed.items()) {
        if (!member.value().is_string())
            fail(msg::invalidRelayResponse);
    }
    const std::string key = encode64(random(kAesKeyBytes));
    return Group::make(base, parsed.at("room").get<std::string>(),
                       parsed.at("token").get<std::string>(), key);
}

void postClip(const Group& group, const Envelope& envelope) {
    relayCall(group, clipsPath(group.room), "POST", nlohmann::json(envelope).dump());
}

Batch pollClips(const Group& group, std::int64_t cursor) {
    const std::string answer = relayCall(group, pollPath(group.room, cursor), "GET");
    return nlohmann::json::parse(answer).get<Batch>();
}

std::string readFromStart(const Group& group) {
    return relayCall(group, readFromStartPath(group.room), "GET");
}

void revokeRoom(const Group& group) {
    relayCall(group, roomPath(group.room), "DELETE");
}

std::string roomsPath() {
    return "/v1/rooms";
}

std::string roomPath(std::string_view room) {
    checkRoom(room);
    return roomsPath() + "/" + std::string(room);
}

std::string clipsPath(std::string_view room) {
    return roomPath(room) + "/clips";
}

std::string pollPath(std::string_view room, std::int64_t cursor) {
    return clipsPath(room) + "?after=" + std::to_string(cursor) +
           "&wait=" + std::to_string(kPollWaitSeconds);
}

std::string readFromStartPath(std::string_view room) {
    return clipsPath(room) + "?after=0";
}

} // namespace zephlink::API
