#pragma once
// Value constructs: elements whose one value sits in an attribute ("value" unless a subclass
// names another) or, for value-element constructs, in the element's text.

#include "gdata/GDataObject.h"

namespace quorvane {

class GDataValueConstruct : public GDataObject {
    QV_GDATA_CLASS(GDataValueConstruct)
public:
    // The attribute holding the value; nullopt keeps it in the text content.
    virtual std::optional<std::string> attributeName() const { return std::string("value"); }
    void addParseDeclarations() override;

    virtual std::optional<std::string> stringValue() const;
    void setStringValue(std::optional<std::string> value);

    // Factories on any value-construct class: nullptr for a nil value.
    static std::shared_ptr<GDataValueConstruct> valueWithString(const GDataClassInfo& cls,
                                                                std::optional<std::string> value);
    static std::shared_ptr<GDataValueConstruct> valueWithInt(const GDataClassInfo& cls, int32_t value);
    static std::shared_ptr<GDataValueConstruct> valueWithLongLong(const GDataClassInfo& cls, int64_t value);
    static std::shared_ptr<GDataValueConstruct> valueWithDouble(const GDataClassInfo& cls, double value);
    static std::shared_ptr<GDataValueConstruct> valueWithBool(const GDataClassInfo& cls, bool value);
    static std::shared_ptr<GDataValueConstruct> valueWithDateTime(const GDataClassInfo& cls,
                                                                  const std::optional<GDataDateTime>& value);
    template <class T>
    static std::shared_ptr<T> valueWithString(std::optional<std::string> value) {
        return std::dynamic_pointer_cast<T>(valueWithString(T::staticClassInfo(), std::move(value)));
    }

    int32_t intValue() const;
    std::optional<int32_t> intNumberValue() const { return intValue(); }
    void setIntValue(int32_t v);
    int64_t longLongValue() const;
    std::optional<int64_t> longLongNumberValue() const { return longLongValue(); }
    void setLongLongValue(int64_t v);
    double doubleNumberValue() const;
    double doubleValue() const { return doubleNumberValue(); }
    void setDoubleValue(double v);
    bool boolValue() const;
    void setBoolValue(bool v);
    std::optional<GDataDateTime> dateTimeValue() const;
    void setDateTimeValue(const std::optional<GDataDateTime>& dt);

    std::vector<std::string> itemsForDescription() const override;
};

class GDataNameValueConstruct : public GDataValueConstruct {
    QV_GDATA_CLASS(GDataNameValueConstruct)
public:
    virtual std::optional<std::string> nameAttributeName() const { return std::string("name"); }
    void addParseDeclarations() override;
    static std::shared_ptr<GDataNameValueConstruct> valueWithName(const GDataClassInfo& cls,
                                                                  std::optional<std::string> name,
                                                                  std::optional<std::string> value);
    std::optional<std::string> name() const;
    void setName(std::optional<std::string> name);
};

class GDataValueElementConstruct : public GDataValueConstruct {
    QV_GDATA_CLASS(GDataValueElementConstruct)
public:
    std::optional<std::string> attributeName() const override { return std::nullopt; }
};

// The element's presence is its value.
class GDataImplicitValueConstruct : public GDataValueElementConstruct {
    QV_GDATA_CLASS(GDataImplicitValueConstruct)
public:
    static std::shared_ptr<GDataImplicitValueConstruct> implicitValue(const GDataClassInfo& cls);
    std::optional<std::string> stringValue() const override { return std::nullopt; }
};

class GDataBoolValueConstruct : public GDataValueConstruct {
    QV_GDATA_CLASS(GDataBoolValueConstruct)
public:
    static std::shared_ptr<GDataBoolValueConstruct> boolValueWithBool(const GDataClassInfo& cls, bool value);
};

}  // namespace quorvane
