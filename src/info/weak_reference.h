#pragma once

#include <memory>

namespace strombel::info {

/// A base for objects that others refer to without owning them (delegates): it
/// carries a token that ends with the object, so that the references read as
/// empty once it has gone. A copy gets a token of its own.
class Referable {
public:
    Referable() = default;
    Referable(const Referable&) : alive_(std::make_shared<int>(0)) {}
    Referable& operator=(const Referable&) { return *this; }
    std::weak_ptr<void> lifetime() const { return alive_; }

protected:
    ~Referable() = default;

private:
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

/// A reference that does not own its object and empties itself when the object
/// goes. For the main loop's thread only.
template <typename T>
class WeakReference {
public:
    WeakReference() = default;
    WeakReference(T* object) : object_(object), alive_(object ? object->lifetime() : std::weak_ptr<void>()) {}
    T* get() const { return alive_.expired() ? nullptr : object_; }
    explicit operator bool() const { return get() != nullptr; }
    T* operator->() const { return get(); }

private:
    T* object_ = nullptr;
    std::weak_ptr<void> alive_;
};

}  // namespace strombel::info
