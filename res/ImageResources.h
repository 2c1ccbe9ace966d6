// The application's images: what they are and where the window front end finds their bytes.
#pragma once

#include <string_view>

enum class ImageKind { Icon, Bitmap };

struct ImageResource {
    int id;
    ImageKind kind;
    int width;        // pixels
    int height;       // pixels
    int bitsPerPixel; // of the stored image
    // The image file below res/artwork/, embedded by the window front end under ":/res/<file>".
    std::string_view file;
};

// The image with the given resource identifier, or nullptr.
const ImageResource* FindImageResource(int id);
