#include "http_request.h"

#include "characters.h"
#include "url.h"

#include <charconv>
#include <vector>

namespace zephlink {
namespace {

constexpr std::string_view kSeparator = "\r\n\r\n";
constexpr std::string_view kVersion = "HTTP/1.1";

std::vector<std::string_view> split(std::string_view text, std::string_view separator) {
    std::vector<std::string_view> out;
    std::size_t start = 0;
    while (true) {
        const std::size_t at = text.find(separator, start);
        if (at == std::string_view::npos) {
            out.push_back(text.substr(start));
            return out;
        }
        out.push_back(text.substr(start, at - start));
        start = at + separator.size();
    }
}

std::string_view trimSpacesAndTabs(std::string_view text) {
    const auto begin = text.find_first_not_of(" \t");
    if (begin == std::string_view::npos)
        return {};
    return text.substr(begin, text.find_last_not_of(" \t") - begin + 1);
}

} // namespace

const std::string* HttpRequest::header(const std::string& name) const {
    const auto found = headers.find(name);
    return found == headers.end() ? nullptr : &found->second;
}

std::variant<HttpRequest, HttpStatus> parseHead(std::string_view head) {
    if (!validUtf8(head))
        return 400;
    const std::vector<std::string_view> lines = split(head, "\r\n");
    std::vector<std::string_view> pieces;
    for (const std::string_view piece : split(lines.front(), " ")) {
        if (!piece.empty())
            pieces.push_back(piece);
    }
    if (pieces.size() != 3 || pieces[2] != kVersion || pieces[1].front() != '/')
        return 400;
    HttpRequest request;
    request.method = pieces[0];
    request.target = pieces[1];
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::size_t colon = lines[i].find(':');
        if (colon == std::string_view::npos)
            return 400;
        // The name is not trimmed: "Origin :" is a different header.
        std::string name = asciiLower(lines[i].substr(0, colon));
        const auto [at, inserted] = request.headers.emplace(
            std::move(name), std::string(trimSpacesAndTabs(lines[i].substr(colon + 1))));
        if (!inserted)
            return 400;
    }
    return request;
}

std::variant<std::int64_t, HttpStatus> bodyLength(const HttpRequest& request) {
    const std::string* declared = request.header("content-length");
    const auto length = decimalInteger(declared ? std::string_view(*declared) : "0");
    if (!length || *length < 0 || *length > kMaxBodyLength)
        return 413;
    if (request.target == kSessionPath && *length > kMaxSessionBodyLength)
        return 413;
    return *length;
}

ReadResult readRequest(const ByteSource& source, const SteadyClock& clock) {
    const auto deadline = clock() + kRequestDeadline;
    std::string buffer;
    std::size_t separator = std::string::npos;
    char chunk[kReceiveChunk];
    while (separator == std::string::npos) {
        if (buffer.size() > kMaxHeaderBytes || clock() >= deadline)
            return 400;
        const ssize_t got = source(std::span<char>(chunk, sizeof chunk));
        if (got <= 0)
            return CloseSilently{};
        // Resume the search where a separator split across chunks could start.
        const std::size_t from = buffer.size() < 3 ? 0 : buffer.size() - 3;
        buffer.append(chunk, static_cast<std::size_t>(got));
        separator = buffer.find(kSeparator, from);
        if (separator != std::string::npos && separator > kMaxHeaderBytes)
            return 400;
    }

    auto parsed = parseHead(std::string_view(buffer).substr(0, separator));
    if (const auto* status = std::get_if<HttpStatus>(&parsed))
        return *status;
    HttpRequest request = std::move(std::get<HttpRequest>(parsed));
    if (request.header("origin") || request.header("transfer-encoding"))
        return 403;
    const auto length = bodyLength(request);
    if (const auto* status = std::get_if<HttpStatus>(&length))
        return *status;
    const auto expected = static_cast<std::size_t>(std::get<std::int64_t>(length));

    request.body = buffer.substr(separator + kSeparator.size());
    while (request.body.size() < expected) {
        if (clock() >= deadline)
            break;
        const std::size_t missing = expected - request.body.size();
        const ssize_t got =
            source(std::span<char>(chunk, missing < sizeof chunk ? missing : sizeof chunk));
        if (got <= 0)
            return CloseSilently{};
        request.body.append(chunk, static_cast<std::size_t>(got));
    }
    if (request.body.size() != expected)
        return 400;
    return request;
}

} // namespace zephlink
