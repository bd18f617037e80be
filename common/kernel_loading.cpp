#include "kernel_loading.h"

#include "kernel_binding.h"

LoadedKernel CheckKernelFeatures(FeatureMask mask)
{
    LoadedKernel kernel;
    if (mask != 0 && !feature::CheckFeatures(mask)) {
        kernel.failure = LoadedKernel::Failure::FeaturesMissing;
        kernel.missingFeatures = feature::MissingFeatures(mask);
    }
    return kernel;
}

LoadedKernel LoadKernel(const char *library, const char *procedure, FeatureMask mask)
{
    LoadedKernel kernel = CheckKernelFeatures(mask);
    if (!kernel.Ready()) {
        return kernel;
    }
    kernel.library = platform::OpenLibrary(library, &kernel.reason);
    if (kernel.library == nullptr) {
        kernel.failure = LoadedKernel::Failure::NotLoadable;
        return kernel;
    }
    void *const symbol = platform::FindProcedure(kernel.library, procedure, &kernel.reason);
    if (symbol == nullptr) {
        platform::CloseLibrary(kernel.library);
        kernel.library = nullptr;
        kernel.failure = LoadedKernel::Failure::NotExported;
        return kernel;
    }
    kernel.entry = AsKernelEntry(symbol);
    return kernel;
}

std::string MissingFeaturesReason(const std::vector<std::string> &missing)
{
    std::string names;
    for (const std::string &name : missing) {
        names += (names.empty() ? "" : ", ") + name;
    }
    return "this processor or its operating system lacks " + names;
}
