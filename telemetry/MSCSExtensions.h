#pragma once
// The parts of a Common Schema log: its extensions and its data.

#include "telemetry/MSFieldRecord.h"

namespace quorvane {

class MSAppExtension : public MSKeyedRecord {
    MS_CODING_CLASS()
public:
    MS_STRING_FIELD(id, setId)
    MS_STRING_FIELD(ver, setVer)
    MS_STRING_FIELD(name, setName)
    MS_STRING_FIELD(locale, setLocale)
protected:
    const std::vector<Field>& fieldList() const override;
};

class MSUserExtension : public MSKeyedRecord {
    MS_CODING_CLASS()
public:
    MS_STRING_FIELD(localId, setLocalId)
    MS_STRING_FIELD(locale, setLocale)
protected:
    const std::vector<Field>& fieldList() const override;
};

class MSDeviceExtension : public MSKeyedRecord {
    MS_CODING_CLASS()
public:
    MS_STRING_FIELD(localId, setLocalId)
protected:
    const std::vector<Field>& fieldList() const override;
};

class MSOSExtension : public MSKeyedRecord {
    MS_CODING_CLASS()
public:
    MS_STRING_FIELD(name, setName)
    MS_STRING_FIELD(ver, setVer)
protected:
    const std::vector<Field>& fieldList() const override;
};

class MSNetExtension : public MSKeyedRecord {
    MS_CODING_CLASS()
public:
    MS_STRING_FIELD(provider, setProvider)
protected:
    const std::vector<Field>& fieldList() const override;
};

class MSSDKExtension : public MSKeyedRecord {
    MS_CODING_CLASS()
public:
    MS_STRING_FIELD(libVer, setLibVer)
    MS_STRING_FIELD(epoch, setEpoch)
    MS_STRING_FIELD(installId, setInstallId)
    std::optional<int64_t> seq() const { return integer("seq"); }
    void setSeq(std::optional<int64_t> v) { setField("seq", v ? platform::Value(*v) : platform::Value()); }
protected:
    const std::vector<Field>& fieldList() const override;
};

class MSLocExtension : public MSKeyedRecord {
    MS_CODING_CLASS()
public:
    // "+hh:mm" or "-hh:mm".
    MS_STRING_FIELD(tz, setTz)
protected:
    const std::vector<Field>& fieldList() const override;
};

class MSProtocolExtension : public MSKeyedRecord {
    MS_CODING_CLASS()
public:
    MS_STRING_FIELD(devMake, setDevMake)
    MS_STRING_FIELD(devModel, setDevModel)
    std::optional<std::vector<std::string>> ticketKeys() const;
    void setTicketKeys(std::optional<std::vector<std::string>> keys);
protected:
    const std::vector<Field>& fieldList() const override;
};

// Serialises as the metadata dictionary itself.
class MSMetadataExtension : public MSKeyedRecord {
    MS_CODING_CLASS()
public:
    platform::Value metadata() const { return field("metadata"); }
    void setMetadata(platform::Value dictionary) { setField("metadata", std::move(dictionary)); }
    platform::Value serializeToDictionary() const override;
protected:
    const std::vector<Field>& fieldList() const override;
};

class MSCSExtensions : public MSFieldRecord<MSCSExtensions, MSSerializableObject> {
    MS_CODING_CLASS()
public:
    std::shared_ptr<MSMetadataExtension> metadataExt;
    std::shared_ptr<MSProtocolExtension> protocolExt;
    std::shared_ptr<MSUserExtension> userExt;
    std::shared_ptr<MSDeviceExtension> deviceExt;
    std::shared_ptr<MSOSExtension> osExt;
    std::shared_ptr<MSAppExtension> appExt;
    std::shared_ptr<MSNetExtension> netExt;
    std::shared_ptr<MSSDKExtension> sdkExt;
    std::shared_ptr<MSLocExtension> locExt;

    // "metadata", "protocol", "user", "device", "os", "app", "net", "sdk", "loc", when present.
    static const MSFieldTable<MSCSExtensions>& fields();
};

// The data part: properties serialised with "baseType" and "baseData" first.
class MSCSData : public MSFieldRecord<MSCSData, MSSerializableObject> {
    MS_CODING_CLASS()
public:
    platform::Value properties = platform::Value::dictionary();

    // Archived under "properties"; the JSON is the properties themselves.
    static const MSFieldTable<MSCSData>& fields();
    platform::Value serializeToDictionary() const override;
};

}  // namespace quorvane
