#pragma once
// A value that many threads read and one replaces as a whole: readers take the current
// version and keep it as long as they need it; a replacement never changes what a reader
// holds.

#include <memory>
#include <mutex>
#include <utility>

namespace platform {

template <class T>
class Snapshot {
public:
    Snapshot() : value_(std::make_shared<const T>()) {}

    std::shared_ptr<const T> Get() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return value_;
    }
    void Set(T value) { Set(std::make_shared<const T>(std::move(value))); }
    void Set(std::shared_ptr<const T> value) {
        std::lock_guard<std::mutex> guard(mutex_);
        value_.swap(value);  // the old version goes when its last reader lets it go
    }

private:
    mutable std::mutex mutex_;
    std::shared_ptr<const T> value_;
};

}  // namespace platform
