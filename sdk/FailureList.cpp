#include "FailureList.h"

#include <utility>
#include <vector>

namespace mirelo {
namespace qolt {

void FailureList::Add(uint64_t cloud, std::string operation, std::string text) {
    std::lock_guard<std::mutex> lock(mutex_);
    failures_.push_back(Failure{cloud, std::move(operation), std::move(text)});
    if (failures_.size() > kMaxFailures) {
        failures_.pop_front();
    }
}

Value FailureList::Snapshot() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Value> failures;
    failures.reserve(failures_.size());
    for (const Failure& failure : failures_) {
        failures.push_back(
            Value::List({Value::UInt(failure.cloud), Value::Text(failure.operation), Value::Text(failure.text)}));
    }
    return Value::List(std::move(failures));
}

void FailureList::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    failures_.clear();
}

}  // namespace qolt
}  // namespace mirelo
