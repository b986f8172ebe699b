#include "ZodozorEro/Utilities/PipelineLogging.h"

namespace ZodozorEro::PipelineLogging {

Category::Category(std::string name)
    : logger_(std::string(subsystem), std::move(name))
    , signposter_(logger_) {}

const Category& audioEncoding() {
    static const Category* category = new Category("AudioEncoding");
    return *category;
}

const Category& featureExtractor() {
    static const Category* category = new Category("FeatureExtractor");
    return *category;
}

const Category& transcribeTask() {
    static const Category* category = new Category("TranscribeTask");
    return *category;
}

System::Log::Signposter::Interval beginSignpost(std::string name, const System::Log::Signposter& signposter) {
    return signposter.beginInterval(std::move(name));
}

void endSignpost(std::string_view name, System::Log::Signposter::Interval& interval,
                 const Category& category) {
    if (!interval.isActive()) {
        category.logger().error("[Error] Interval already ended: {}", System::Log::Public(std::string(name)));
        return;
    }
    interval.end();
}

} // namespace ZodozorEro::PipelineLogging
