#include "TransferOptions.h"

#include "FastRate.h"

namespace cli {

Result TakeTransferOptions(const std::string& what, std::vector<std::string>* args, TransferOptions* options) {
    size_t i = 0;
    for (; i < args->size(); ++i) {
        const std::string& a = (*args)[i];
        const bool hasValue = i + 1 < args->size();
        long value = 0;
        if (a == "--verify") {
            options->verify = true;
        } else if (a == "--resume") {
            options->resume = true;
        } else if (a == "--retries") {
            if (!hasValue || !ParseInt((*args)[i + 1], 0, kMostRetries, &value))
                return Failure(kExitBadInput, what + ": --retries takes 0 to " + std::to_string(kMostRetries));
            options->retries = static_cast<int>(value);
            ++i;
        } else if (a == "--wait") {
            if (!hasValue || !ParseInt((*args)[i + 1], 1, kLongestWaitMs, &value))
                return Failure(kExitBadInput, what + ": --wait takes 1 to " + std::to_string(kLongestWaitMs) + " ms");
            options->waitMs = static_cast<uint32_t>(value);
            ++i;
        } else if (a == "--fast") {
            options->fastRate = kFastestRate;
            // A rate right after it is the rate to move to.
            if (hasValue && RateIndexOf((*args)[i + 1]) >= 0) options->fastRate = kModuleBaudRates[RateIndexOf((*args)[++i])];
        } else if (a == "--") {
            ++i;
            break;
        } else if (a.rfind("--", 0) == 0) {
            return Failure(kExitBadInput,
                           what + ": unknown option " + a + " (--verify, --resume, --retries N, --wait MS, --fast [RATE])");
        } else {
            break;
        }
    }
    args->erase(args->begin(), args->begin() + static_cast<long>(i));
    return {};
}

}  // namespace cli
