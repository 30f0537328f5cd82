// Why an exchange with the module failed, in the window's words. A button's
// message is its own failure text (the program's) followed by one of
// these, so no answer, a refusal and an answer that could not be taken
// never read alike: "删除文件失败！模块没有应答。",
// "删除文件失败！模块拒绝了请求（状态 6）。".
#ifndef TOVREL_APP_FAILURETEXT_H
#define TOVREL_APP_FAILURETEXT_H

#include <cstdint>
#include <string>

#include "protocol/DiskTransfer.h"
#include "protocol/ModuleName.h"

// A sentence: "模块没有应答。", "模块拒绝了请求（状态 6）。". Empty for an
// end that is no failure of the exchange (done, stopped, the caller's side).
std::string FailureCause(TransferEnd end, uint8_t status);
// The same for the exchange just made (LastExchangeFailure).
std::string LastExchangeCause();
// The same for a transfer, which may have ended in the middle of a file.
std::string TransferCause(const TransferResult& result);

// Why a name is not sent: `what` names the field ("文件名"). Empty for
// NameProblem::kNone.
std::string NameProblemText(NameProblem problem, const std::string& name, const std::string& bytes, const char* what);

#endif
