#include "FailureText.h"

#include "protocol/DiskCommands.h"

std::string FailureCause(TransferEnd end, uint8_t status) {
    switch (end) {
        case TransferEnd::kNoAnswer: return "模块没有应答。";
        case TransferEnd::kCutShort: return "模块的应答中途断了。";
        case TransferEnd::kBadFrame: return "模块的应答无法识别。";
        case TransferEnd::kRefused: return "模块拒绝了请求（状态 " + std::to_string(status) + "）。";
        case TransferEnd::kPortLost: return "串口已断开。";
        case TransferEnd::kShortInMiddle: return "模块在文件中途少给了数据。";
        default: return {};
    }
}

std::string LastExchangeCause() {
    uint8_t status = 0;
    const TransferEnd end = LastExchangeFailure(&status);
    return FailureCause(end, status);
}

std::string TransferCause(const TransferResult& result) { return FailureCause(result.end, result.status); }

std::string NameProblemText(NameProblem problem, const std::string& name, const std::string& bytes, const char* what) {
    switch (problem) {
        case NameProblem::kNone: return {};
        case NameProblem::kEmpty: return std::string("请先输入") + what + "。";
        case NameProblem::kNul: return std::string(what) + "含有空字符，未发送。";
        case NameProblem::kNotCp936: return "“" + name + "”含有代码页936无法表示的字符，未发送。";
        case NameProblem::kNotAsTyped: return "“" + name + "”到了模块就不是原样的名称，未发送。";
        case NameProblem::kTooLong:
            return "名称长 " + std::to_string(bytes.size()) + " 字节，超过模块所限的 " +
                   std::to_string(kMaxDiskNameBytes) + " 字节（汉字每字2字节），未发送。";
    }
    return {};
}
