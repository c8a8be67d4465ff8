#pragma once
// The symbol the engine found for a stack frame at crash time.

#include <cstdint>
#include <string>

namespace quorvane {

class MSCrashReportSymbolInfo {
public:
    static MSCrashReportSymbolInfo initWithSymbolName(std::string symbolName, uint64_t startAddress,
                                                      uint64_t endAddress) {
        return MSCrashReportSymbolInfo(std::move(symbolName), startAddress, endAddress);
    }
    MSCrashReportSymbolInfo(std::string symbolName, uint64_t startAddress, uint64_t endAddress)
        : symbolName_(std::move(symbolName)), startAddress_(startAddress), endAddress_(endAddress) {}

    const std::string& symbolName() const { return symbolName_; }
    // The symbol's first address.
    uint64_t startAddress() const { return startAddress_; }
    // The symbol's end; 0 when the report gives none.
    uint64_t endAddress() const { return endAddress_; }

private:
    std::string symbolName_;
    uint64_t startAddress_;
    uint64_t endAddress_;
};

}  // namespace quorvane
