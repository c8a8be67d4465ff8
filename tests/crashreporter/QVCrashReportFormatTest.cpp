// The writer's field numbers and enumeration values (QVCrashReportFormat.h) against the
// descriptors generated from the schema the decoder reads with.

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "crashreporter/capture/QVCrashReportFormat.h"
#include "crashreporter/report/QVCrashReport.pb-c.h"

using namespace quorvane;
using namespace quorvane::qvcrash::format;

namespace {

struct Field {
    const char* name;
    uint32_t number;
};

struct Message {
    const ProtobufCMessageDescriptor* descriptor;
    std::vector<Field> fields;
};

const std::vector<Message>& writerMessages() {
    static const std::vector<Message> messages = {
        {&qvcrash__crash_report__descriptor,
         {{"system_info", kReportSystemInfo}, {"application_info", kReportApplicationInfo}, {"threads", kReportThreads},
          {"binary_images", kReportBinaryImages}, {"exception", kReportException}, {"signal", kReportSignal},
          {"process_info", kReportProcessInfo}, {"machine_info", kReportMachineInfo}, {"report_info", kReportReportInfo}}},
        {&qvcrash__crash_report__system_info__descriptor,
         {{"operating_system", kSystemOS}, {"os_version", kSystemOSVersion}, {"architecture", kSystemArchitecture},
          {"timestamp", kSystemTimestamp}, {"os_build", kSystemOSBuild}}},
        {&qvcrash__crash_report__processor__descriptor,
         {{"encoding", kProcessorEncoding}, {"type", kProcessorType}, {"subtype", kProcessorSubtype}}},
        {&qvcrash__crash_report__machine_info__descriptor,
         {{"model", kMachineModel}, {"processor", kMachineProcessor}, {"processor_count", kMachineProcessorCount},
          {"logical_processor_count", kMachineLogicalProcessorCount}}},
        {&qvcrash__crash_report__application_info__descriptor,
         {{"identifier", kApplicationIdentifier}, {"version", kApplicationVersion},
          {"marketing_version", kApplicationMarketingVersion}}},
        {&qvcrash__crash_report__process_info__descriptor,
         {{"process_name", kProcessName}, {"process_id", kProcessID}, {"process_path", kProcessPath},
          {"parent_process_name", kProcessParentName}, {"parent_process_id", kProcessParentID},
          {"native", kProcessNative}, {"start_time", kProcessStartTime}}},
        {&qvcrash__crash_report__thread__descriptor,
         {{"thread_number", kThreadNumber}, {"frames", kThreadFrames}, {"crashed", kThreadCrashed},
          {"registers", kThreadRegisters}}},
        {&qvcrash__crash_report__thread__stack_frame__descriptor, {{"pc", kFramePC}, {"symbol", kFrameSymbol}}},
        {&qvcrash__crash_report__thread__register_value__descriptor,
         {{"name", kRegisterName}, {"value", kRegisterValue}}},
        {&qvcrash__crash_report__symbol__descriptor,
         {{"name", kSymbolName}, {"start_address", kSymbolStartAddress}, {"end_address", kSymbolEndAddress}}},
        {&qvcrash__crash_report__binary_image__descriptor,
         {{"base_address", kImageBaseAddress}, {"size", kImageSize}, {"name", kImageName}, {"uuid", kImageUUID},
          {"code_type", kImageCodeType}}},
        {&qvcrash__crash_report__exception__descriptor,
         {{"name", kExceptionName}, {"reason", kExceptionReason}, {"frames", kExceptionFrames}}},
        {&qvcrash__crash_report__signal__descriptor,
         {{"name", kSignalName}, {"code", kSignalCode}, {"address", kSignalAddress},
          {"mach_exception", kSignalMachException}}},
        {&qvcrash__crash_report__signal__mach_exception__descriptor,
         {{"type", kMachExceptionType}, {"codes", kMachExceptionCodes}}},
        {&qvcrash__crash_report__report_info__descriptor,
         {{"user_requested", kReportInfoUserRequested}, {"uuid", kReportInfoUUID}}},
    };
    return messages;
}

}  // namespace

// Every field the schema has carries the writer's number, the writer numbers no field the schema
// lacks, and every message the report can hold is covered.
TEST(QVCrashReportFormat, FieldNumbersMatchTheSchema) {
    std::set<const ProtobufCMessageDescriptor*> covered;
    for (const Message& message : writerMessages()) {
        covered.insert(message.descriptor);
        SCOPED_TRACE(message.descriptor->name);
        EXPECT_EQ(message.fields.size(), message.descriptor->n_fields);
        for (const Field& field : message.fields) {
            const ProtobufCFieldDescriptor* f = protobuf_c_message_descriptor_get_field_by_name(message.descriptor, field.name);
            ASSERT_NE(f, nullptr) << field.name;
            EXPECT_EQ(f->id, field.number) << field.name;
        }
    }
    std::vector<const ProtobufCMessageDescriptor*> pending = {&qvcrash__crash_report__descriptor};
    while (!pending.empty()) {
        const ProtobufCMessageDescriptor* d = pending.back();
        pending.pop_back();
        EXPECT_TRUE(covered.count(d)) << d->name << " has no field numbers in the format header";
        for (unsigned i = 0; i < d->n_fields; ++i) {
            if (d->fields[i].type != PROTOBUF_C_TYPE_MESSAGE) continue;
            const auto* sub = static_cast<const ProtobufCMessageDescriptor*>(d->fields[i].descriptor);
            if (sub != d) pending.push_back(sub);
        }
    }
}

TEST(QVCrashReportFormat, EnumerationValuesMatchTheSchema) {
    struct Case {
        const ProtobufCEnumDescriptor* descriptor;
        const char* name;
        uint32_t value;
    };
    const Case cases[] = {
        {&qvcrash__crash_report__system_info__operating_system__descriptor, "OS_UNKNOWN", kOperatingSystemUnknown},
        {&qvcrash__crash_report__system_info__operating_system__descriptor, "LINUX", kOperatingSystemLinux},
        {&qvcrash__architecture__descriptor, "X86_64", kArchitectureX86_64},
        {&qvcrash__architecture__descriptor, "ARCHITECTURE_UNKNOWN", kArchitectureUnknown},
        {&qvcrash__crash_report__processor__type_encoding__descriptor, "TYPE_ENCODING_UNKNOWN", kTypeEncodingUnknown},
        {&qvcrash__crash_report__processor__type_encoding__descriptor, "TYPE_ENCODING_MACH", kTypeEncodingMach},
    };
    for (const Case& c : cases) {
        const ProtobufCEnumValue* v = protobuf_c_enum_descriptor_get_value_by_name(c.descriptor, c.name);
        ASSERT_NE(v, nullptr) << c.name;
        EXPECT_EQ(static_cast<uint32_t>(v->value), c.value) << c.name;
    }
}
