#include "answer.h"

#include <cerrno>
#include <nlohmann/json.hpp>
#include <string_view>
#include <sys/socket.h>
#include <sys/uio.h>

namespace zephlink {
namespace {

// Enough pieces per send; a longer answer simply takes more sends.
constexpr std::size_t kVectorsPerSend = 64;

std::string responseHead(int status, std::size_t bodyBytes) {
    return "HTTP/1.1 " + std::to_string(status) +
           " Response\r\n"
           "Content-Type: application/json\r\n"
           "Content-Length: " +
           std::to_string(bodyBytes) +
           "\r\n"
           "Connection: close\r\n"
           "Cache-Control: no-store\r\n\r\n";
}

} // namespace

std::size_t Answer::bodySize() const {
    std::size_t size = 0;
    for (const SharedBytes& piece : body)
        size += piece->size();
    return size;
}

Answer jsonAnswer(int status, const nlohmann::json& body) {
    try {
        return {status, {std::make_shared<const std::string>(body.dump())}};
    } catch (const nlohmann::json::exception&) {
        return {status, {}};
    }
}

bool sendAnswer(int fd, const Answer& answer, std::chrono::steady_clock::time_point deadline) {
    const std::string head = responseHead(answer.status, answer.bodySize());
    std::vector<std::string_view> pieces{head};
    for (const SharedBytes& piece : answer.body) {
        if (!piece->empty())
            pieces.emplace_back(*piece);
    }
    std::size_t next = 0; // the first piece not sent completely
    std::size_t sent = 0; // bytes of it already sent
    while (next < pieces.size()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        iovec vectors[kVectorsPerSend];
        std::size_t count = 0;
        for (std::size_t i = next; i < pieces.size() && count < kVectorsPerSend; ++i, ++count) {
            const std::string_view rest = pieces[i].substr(i == next ? sent : 0);
            vectors[count] = {const_cast<char*>(rest.data()), rest.size()};
        }
        msghdr message{};
        message.msg_iov = vectors;
        message.msg_iovlen = count;
        const ssize_t n = ::sendmsg(fd, &message, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        sent += static_cast<std::size_t>(n);
        while (next < pieces.size() && sent >= pieces[next].size()) {
            sent -= pieces[next].size();
            ++next;
        }
    }
    return true;
}

} // namespace zephlink
