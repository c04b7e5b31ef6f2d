#pragma once
// The viewer's loading pipeline without its window, stepping through a list of files: the
// image area, both decoders, the adjustments and the loader that reads the next file ahead.

#include "viewer/Adjustments.h"
#include "viewer/ImageLoader.h"

#include <algorithm>
#include <string>
#include <vector>

namespace bench {

struct FolderViewer {
    oxlume::imaging::TImager imager1;
    oxlume::imaging::WindowlessImager decoder;
    oxlume::imaging::WindowlessImager unadjusted;
    oxlume::TOptions options;
    oxlume::TAdjustmentState adjustments;
    oxlume::ImageLoader loader;
    const std::vector<std::string> &paths;

    FolderViewer(const std::vector<std::string> &files, int width, int height)
        : loader(imager1, decoder, unadjusted, options,
                 oxlume::ImageLoader::hooksFor(
                     imager1, [this] { ApplyImageAdjustments(adjustments, imager1, unadjusted); }))
        , paths(files)
    {
        imager1.resize(width, height);
        imager1.show();
        // The image entry below the selection.
        loader.setNextFileProvider([this] {
            const auto at = std::find(paths.begin(), paths.end(), loader.RequestedFile());
            return at != paths.end() && at + 1 != paths.end() ? *(at + 1) : std::string();
        });
    }
};

} // namespace bench
