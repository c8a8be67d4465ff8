#include "platform/ui/ViewController.h"

#include <atomic>

namespace quorvane::platform {

namespace {

void viewWillAppearDefault(ViewController&, std::string_view, bool) {}

struct Method {
    std::string_view name;
    std::atomic<ViewController::Implementation> implementation;
};

// The base class's method table.
Method gMethods[] = {
    {ViewController::kViewWillAppear, viewWillAppearDefault},
};

Method* findMethod(std::string_view name) {
    for (auto& method : gMethods)
        if (method.name == name) return &method;
    return nullptr;
}

}  // namespace

void ViewController::viewWillAppear(bool animated) {
    instanceMethod(kViewWillAppear)(*this, kViewWillAppear, animated);
}

ViewController::Implementation ViewController::instanceMethod(std::string_view name) {
    Method* method = findMethod(name);
    return method ? method->implementation.load() : nullptr;
}

ViewController::Implementation ViewController::setInstanceMethod(std::string_view name, Implementation implementation) {
    Method* method = findMethod(name);
    return method && implementation ? method->implementation.exchange(implementation) : nullptr;
}

}  // namespace quorvane::platform
