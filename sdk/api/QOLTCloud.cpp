#include <memory>
#include <string>

#include "qolt/mirelo_qolt_cloud.h"
#include "runtime/LoopbackCloud.h"
#include "runtime/LoopbackService.h"

namespace mirelo {
namespace qolt {

using loopback::Logger;
using loopback::LoopbackCloud;
using loopback::LoopbackService;
using loopback::Value;

QOLTCloud* QOLTCloud::Create(QOLTCloudDelegate* delegate) try {
    LoopbackService& service = LoopbackService::Instance();
    const uint64_t handle = service.clouds().ReserveHandle();
    auto cloud = std::make_unique<LoopbackCloud>(handle, delegate, service.configuration().values().media_queue_bound);
    service.clouds().Add(handle, cloud.get());
    if (service.threads_ended()) {
        cloud->events()->Stop();  // see LoopbackService::EndThreads
    }
    service.Record(handle, "Create", {Value::Bool(delegate == nullptr)});
    service.logger().Write(Logger::kInfo, "cloud " + std::to_string(handle) + " created" +
                                              (delegate == nullptr ? " without a delegate" : ""));
    return cloud.release();  // owned by the caller until Destroy
} catch (...) {
    return nullptr;  // no thread or memory for the cloud: the SDK's failure is a null cloud, never an exception
}

void QOLTCloud::Destroy(QOLTCloud* cloud) try {
    if (cloud == nullptr) {
        return;
    }
    std::unique_ptr<LoopbackCloud> owned(static_cast<LoopbackCloud*>(cloud));
    LoopbackService& service = LoopbackService::Instance();
    const uint64_t handle = owned->handle();
    service.Record(handle, "Destroy", {});
    owned.reset();
    service.logger().Write(Logger::kInfo, "cloud " + std::to_string(handle) + " destroyed");
} catch (...) {
    // only the log line can fail, once the cloud is gone; callers destroy from destructors
}

}  // namespace qolt
}  // namespace mirelo
