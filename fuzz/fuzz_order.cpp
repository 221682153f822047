// Fuzz target: an order text through dispatch (parsing and command look-up), the target check,
// payload and timestamp extraction and the three rewrites that turn it into the answer JSON.
// Checks that the answer is JSON again and that each rewrite that reports success took effect.
#include <picojson.h>

#include <string>

#include "Base64.h"
#include "CmdInfoBase.h"
#include "FuzzUtil.h"
#include "cmd_exec_env.h"

namespace {
// The member `key` of `v` when `v` is an object that has it, else a null value.
const picojson::value& member(const picojson::value& v, const char* key) {
    static const picojson::value none;
    return v.is<picojson::object>() && v.contains(key) ? v.get(key) : none;
}
}  // namespace

void fuzzutil::fuzzOne(const std::string& input) {
    // The order code's logger, once; no settings, no connection.
    [[maybe_unused]] static const bool attached = (zorcee::attachObjects(nullptr), true);
    const auto cmd = zorcee::CreateCmdInfoObj(input);
    check(cmd != nullptr, "CreateCmdInfoObj returned no object");
    // Identity of this terminal; orders may name it, a wildcard or something else.
    cmd->isExecTarget("pf-A", "grp-1", "0123456789");

    const std::string request = cmd->choiseDataValue();
    cmd->choiseTimestamp();
    const std::string value = cmd->encodeDataValue(request);
    const bool dataRewritten = cmd->reWriteData4Return(input.size() % 2, value);
    const bool targetErased = cmd->eraseTarget();
    const bool stamped = cmd->reWriteTimestamp();

    picojson::value answer;
    check(picojson::parse(answer, cmd->getOutputData()).empty(), "the answer is not JSON");
    const picojson::value& data = member(answer, "data");
    check(!dataRewritten || (member(data, "value") == picojson::value(value) &&
                             data.contains("result") && zorcommon::decodeBase64(value) == request),
          "data.value or data.result not rewritten, or the payload does not survive encoding");
    const picojson::value& target = member(member(answer, "order"), "target");
    check(!targetErased || (target.is<picojson::object>() && !target.contains("platform") &&
                            !target.contains("group") && !target.contains("terminal")),
          "target erased but not an object without platform, group and terminal any more");
    const picojson::value& ts = member(answer, "timestamp");
    check(!stamped || (ts.is<std::string>() && ts.get<std::string>().size() == 19),
          "timestamp not rewritten to \"YYYY-MM-DD hh:mm:ss\"");
}
