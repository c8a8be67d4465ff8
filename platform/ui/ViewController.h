#pragma once
// View controllers: each manages one view, which a window shows.
//
// Classes are known by the names the runtime gives them: the base is "NSViewController"; each
// subclass has its own class record (a class inside a module reads "Module.Name"). When a
// controller's view is about to appear, its window calls viewWillAppear on the main thread.
//
// The base class's instance operations run through its method table, which the process can
// change while it runs: an operation is looked up by name, and setting a new implementation
// returns the one it replaced, so that the new one can call it. A subclass that overrides an
// operation calls the base's, and so runs whatever the table holds now.

#include <string_view>

#include "platform/foundation/ClassInfo.h"

namespace quorvane::platform {

class ViewController {
public:
    // An implementation of an operation that takes one flag: the receiver, the operation's name
    // and the flag.
    using Implementation = void (*)(ViewController& self, std::string_view operation, bool flag);

    static constexpr const char* kViewWillAppear = "viewWillAppear";
    static constexpr ClassInfo kClassInfo{"NSViewController", nullptr};

    virtual ~ViewController() = default;

    virtual const ClassInfo& classInfo() const { return kClassInfo; }
    std::string_view className() const { return classInfo().className(); }

    // The view is about to appear (by default nothing more happens).
    virtual void viewWillAppear(bool animated);

    // The base class's implementation of the named operation; null when it has none.
    static Implementation instanceMethod(std::string_view name);
    // Replaces it and returns the former one; with an unknown name nothing changes and null is
    // returned.
    static Implementation setInstanceMethod(std::string_view name, Implementation implementation);
};

}  // namespace quorvane::platform
