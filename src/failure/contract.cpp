#include "contract.hpp"

#include "report.hpp"

namespace quorlin {

void fail_contract(const char *static_text, SourceLocation where)
{
    report_contract_failure(static_text, where);
    throw ContractFailure(static_text, where);
}

void fail_contract(std::string owned_text, SourceLocation where)
{
    report_contract_failure(owned_text, where);
    throw ContractFailure(std::move(owned_text), where);
}

void resume_contract_failure(std::string owned_text)
{
    throw ContractFailure(std::move(owned_text), SourceLocation::current());
}

}  // namespace quorlin
