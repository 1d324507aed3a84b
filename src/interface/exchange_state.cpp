#include "interface/exchange_state.h"

#include <cstdlib>

namespace nalpoicomm {

ExchangeStateRecord ExchangeState{};

void ReleaseExchangeBuffers() {
    if (ExchangeState.ReplyText != nullptr) {
        std::free(ExchangeState.ReplyText);
        ExchangeState.ReplyText = nullptr;
    }
    if (ExchangeState.RequestText != nullptr) {
        delete[] ExchangeState.RequestText;
        ExchangeState.RequestText = nullptr;
    }
    if (ExchangeState.ReplyBuffer != nullptr) {
        std::free(ExchangeState.ReplyBuffer);
        ExchangeState.ReplyBuffer = nullptr;
    }
}

}  // namespace nalpoicomm
