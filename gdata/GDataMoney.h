#pragma once
// gd:money — an amount in a currency. The amount is kept as decimal text, never as a binary
// floating-point number, so no cent is lost on the way through.

#include "gdata/GDataObject.h"

namespace quorvane {

class GDataMoney : public GDataObject {
    QV_GDATA_CLASS(GDataMoney)
public:
    // amount: decimal text ("12.50"); stored in its canonical form.
    static std::shared_ptr<GDataMoney> moneyWithAmount(std::optional<std::string> amount,
                                                       std::optional<std::string> currencyCode);
    void addParseDeclarations() override;

    // The canonical decimal text of the "amount" attribute ("NaN" when it is not a number).
    std::optional<std::string> amount() const { return decimalNumberForAttribute("amount"); }
    void setAmount(std::optional<std::string> decimalText) { setDecimalNumberValue(std::move(decimalText), "amount"); }
    std::optional<std::string> currencyCode() const { return stringValueForAttribute("currencyCode"); }
    void setCurrencyCode(std::optional<std::string> v) { setStringValue(std::move(v), "currencyCode"); }
};

}  // namespace quorvane
