#pragma once
// One thread of a decoded crash report.

#include <cstdint>
#include <vector>

#include "crashreporter/report/MSCrashReportRegisterInfo.h"
#include "crashreporter/report/MSCrashReportStackFrameInfo.h"

namespace quorvane {

class MSCrashReportThreadInfo {
public:
    static MSCrashReportThreadInfo initWithThreadNumber(int64_t threadNumber,
                                                        std::vector<MSCrashReportStackFrameInfo> stackFrames,
                                                        bool crashed, std::vector<MSCrashReportRegisterInfo> registers) {
        return MSCrashReportThreadInfo(threadNumber, std::move(stackFrames), crashed, std::move(registers));
    }
    MSCrashReportThreadInfo(int64_t threadNumber, std::vector<MSCrashReportStackFrameInfo> stackFrames, bool crashed,
                            std::vector<MSCrashReportRegisterInfo> registers)
        : threadNumber_(threadNumber),
          stackFrames_(std::move(stackFrames)),
          crashed_(crashed),
          registers_(std::move(registers)) {}

    // The thread's number in the report.
    int64_t threadNumber() const { return threadNumber_; }
    // Innermost frame first.
    const std::vector<MSCrashReportStackFrameInfo>& stackFrames() const { return stackFrames_; }
    // True for the thread that crashed.
    bool crashed() const { return crashed_; }
    // In the order written; the engine writes them for the crashed thread only.
    const std::vector<MSCrashReportRegisterInfo>& registers() const { return registers_; }

private:
    int64_t threadNumber_;
    std::vector<MSCrashReportStackFrameInfo> stackFrames_;
    bool crashed_;
    std::vector<MSCrashReportRegisterInfo> registers_;
};

}  // namespace quorvane
