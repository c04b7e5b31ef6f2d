#include "ImageTypes.h"

#include "platform/Errors.h"

namespace oxlume {

const FileTypes &ImageTypeAt(int index)
{
    return checkedAt(ImageTypeTable, index);
}

} // namespace oxlume
