#include "addresses.h"

#include <arpa/inet.h>
#include <array>
#include <charconv>

namespace zephlink {

std::string hostString(const sockaddr_in& socketAddress) {
    std::array<char, INET_ADDRSTRLEN> text{};
    if (::inet_ntop(AF_INET, &socketAddress.sin_addr, text.data(),
                    static_cast<socklen_t>(text.size())) == nullptr)
        return {};
    return text.data();
}

sockaddr_in address(std::string_view host, std::uint16_t port) {
    sockaddr_in out{};
    out.sin_family = AF_INET;
    out.sin_port = htons(port);
    // Not consulted on purpose: unparsable text leaves 0.0.0.0.
    const std::string text(host);
    if (::inet_pton(AF_INET, text.c_str(), &out.sin_addr) != 1)
        out.sin_addr.s_addr = htonl(INADDR_ANY);
    return out;
}

bool privateAddress(std::string_view text) {
    std::array<int, 4> numbers{};
    std::size_t count = 0;
    std::size_t start = 0;
    while (true) {
        const std::size_t dot = text.find('.', start);
        const std::string_view piece = text.substr(
            start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
        if (count == numbers.size() || piece.empty() || piece.front() < '0' || piece.front() > '9')
            return false;
        int value = 0;
        const auto [end, error] = std::from_chars(piece.data(), piece.data() + piece.size(), value);
        if (error != std::errc() || end != piece.data() + piece.size() || value > 255)
            return false;
        numbers[count++] = value;
        if (dot == std::string_view::npos)
            break;
        start = dot + 1;
    }
    if (count != numbers.size())
        return false;
    const int first = numbers[0];
    const int second = numbers[1];
    return first == 10 || first == 127 || (first == 169 && second == 254) ||
           (first == 172 && second >= 16 && second <= 31) || (first == 192 && second == 168);
}

} // namespace zephlink
