#pragma once
// GDataAtomPubControl: the AtomPub edit control of an entry or feed (<app:control>), which
// marks a draft.

#include <memory>

#include "gdata/GDataObject.h"

namespace quorvane {

class GDataAtomPubControl : public GDataObject {
    QV_GDATA_CLASS(GDataAtomPubControl)
public:
    // A control that declares the "app" namespace itself.
    static std::shared_ptr<GDataAtomPubControl> atomPubControl();
    static std::shared_ptr<GDataAtomPubControl> atomPubControlWithIsDraft(bool isDraft);

    std::optional<std::string> defaultServiceVersion() const override { return std::string("2.0"); }
    void addExtensionDeclarations() override;
    std::vector<std::string> itemsForDescription() const override;

    // Whether the draft element reads "yes" (any case).
    bool isDraft() const;
    // Yes stores a draft element reading "yes"; no removes it.
    void setIsDraft(bool flag);
};

}  // namespace quorvane
