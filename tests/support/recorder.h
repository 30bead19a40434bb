// What a callback hands a test, kept in order, from any thread: the test waits
// for it with the shared patience and reads a snapshot.
#pragma once

#include "tests/support/wait.h"

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace kest_test {

template <typename T>
class recorder {
public:
    void add(T item) {
        std::lock_guard<std::mutex> lock(mutex);
        items.push_back(std::move(item));
        changed.notify_all();
    }
    std::vector<T> snapshot() const {
        std::lock_guard<std::mutex> lock(mutex);
        return items;
    }
    size_t size() const {
        std::lock_guard<std::mutex> lock(mutex);
        return items.size();
    }
    // Counts without copying what was recorded.
    template <typename Predicate>
    size_t count_if(Predicate matches) const {
        std::lock_guard<std::mutex> lock(mutex);
        size_t count = 0;
        for (const T &item : items)
            count += matches(item) ? 1 : 0;
        return count;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex);
        items.clear();
    }
    // Waits until holds(items) is true; what names it in the failure.
    testing::AssertionResult wait(const std::function<bool(const std::vector<T> &)> &holds,
                                  const std::string &what) const {
        std::unique_lock<std::mutex> lock(mutex);
        if (changed.wait_for(lock, patience(), [&] { return holds(items); }))
            return testing::AssertionSuccess();
        return testing::AssertionFailure()
               << what << " did not happen within " << patience().count() << " s (" << items.size()
               << " recorded)";
    }
    testing::AssertionResult wait_count(size_t count, const std::string &what) const {
        return wait([count](const std::vector<T> &all) { return all.size() >= count; }, what);
    }

private:
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::vector<T> items;
};

} // namespace kest_test
