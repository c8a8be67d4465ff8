#include "gdata/GDataMoney.h"

namespace quorvane {

QV_GDATA_DEFINE_CLASS(GDataMoney, GDataObject, kGDataNamespaceGData, kGDataNamespaceGDataPrefix, "money")

std::shared_ptr<GDataMoney> GDataMoney::moneyWithAmount(std::optional<std::string> amount,
                                                        std::optional<std::string> currencyCode) {
    auto obj = object();
    obj->setAmount(std::move(amount));
    obj->setCurrencyCode(std::move(currencyCode));
    return obj;
}

void GDataMoney::addParseDeclarations() { addLocalAttributeDeclarations({"amount", "currencyCode"}); }

}  // namespace quorvane
