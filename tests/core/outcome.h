#pragma once

#include "aes_gcm.h"
#include "errors.h"

#include <nlohmann/json.hpp>
#include <string>
#include <type_traits>

namespace zephlink::test {

// What a call returned ("ok" for void) or the error it threw, as text.
template <typename Call> std::string outcome(Call&& call) {
    try {
        if constexpr (std::is_void_v<std::invoke_result_t<Call>>) {
            call();
            return "ok";
        } else {
            return std::string(call());
        }
    } catch (const DazarError& e) {
        return e.message();
    } catch (const AuthenticationError&) {
        return "authentication error";
    } catch (const nlohmann::json::exception&) {
        return "json error";
    }
}

} // namespace zephlink::test
