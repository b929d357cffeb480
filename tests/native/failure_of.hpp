// Shared by the native tests.
#pragma once

#include <string>

#include "failure/contract.hpp"

// The contract-failure text of `call`, or "" when it does not fail.
template <class F>
std::string failure_of(F call)
{
    try {
        call();
    } catch (const quorlin::ContractFailure &failure) {
        return std::string(failure.message());
    }
    return "";
}
