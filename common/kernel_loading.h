// Getting a kernel ready to call, the same way in every program: the
// processor features its mask names are checked, then its library is
// loaded, then the procedure is found in it.
#pragma once

#include "feature_gate.h"
#include "library_loader.h"
#include "matmul_kernel.h"

#include <string>
#include <vector>

struct LoadedKernel {
    // The step that failed, if one did.
    enum class Failure { None, FeaturesMissing, NotLoadable, NotExported };

    Failure failure = Failure::None;
    // The features the mask names that this processor or its operating
    // system lacks, by the names the programs print (FeaturesMissing).
    std::vector<std::string> missingFeatures;
    // The loader's words for why the library could not be loaded or the
    // procedure not found; may be empty.
    std::string reason;
    // Set once loaded; the caller closes the library.
    platform::LibraryHandle library = nullptr;
    KernelEntry entry = nullptr;

    bool Ready() const { return failure == Failure::None; }
};

// The first step alone, for a program that loads the kernel elsewhere
// (Verify, in a child process): FeaturesMissing when the mask names a
// feature this processor or its operating system lacks; nothing is loaded.
LoadedKernel CheckKernelFeatures(FeatureMask mask);

// Checks the features (none when mask is 0), loads the library and finds
// the procedure, stopping at the first step that fails. The library is
// closed again when the procedure is not found.
LoadedKernel LoadKernel(const char *library, const char *procedure, FeatureMask mask);

// The reason Verify and Latency give for a kernel whose features are
// missing: "this processor or its operating system lacks FMA, AVX2".
std::string MissingFeaturesReason(const std::vector<std::string> &missing);
