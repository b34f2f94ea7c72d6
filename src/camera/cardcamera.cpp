#include "camera/cardcamera.h"

#include "camera/photoexif.h"
#include "core/fileutil.h"
#include "core/textutil.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace camera {

namespace {

bool IsPhotoName(const std::string& name)
{
    if (name.empty() || name[0] == '.')
        return false;
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos)
        return false;
    const std::string extension = core::LowerAscii(name.substr(dot + 1));
    return extension == "jpg" || extension == "jpeg" || extension == "cr2" || extension == "cr3";
}

struct Photo {
    fs::file_time_type time;
    std::string path;
};

// Adds the photos of folder; its folders too when descend is set.
void Collect(const fs::path& folder, bool descend, std::vector<Photo>* photos)
{
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        const fs::file_status status = it->symlink_status(ec);
        if (ec)
            break;
        if (descend && fs::is_directory(status) && !name.empty() && name[0] != '.') {
            Collect(it->path(), false, photos);
        } else if (fs::is_regular_file(status) && IsPhotoName(name)) {
            std::error_code timeError;
            const fs::file_time_type time = it->last_write_time(timeError);
            if (!timeError)
                photos->push_back({time, it->path().string()});
        }
    }
}

std::string FirstBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return {};
    std::string bytes(kPhotoBytes, '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<size_t>(std::max<std::streamsize>(in.gcount(), 0)));
    return bytes;
}

}  // namespace

std::vector<std::string> NewestPhotos(const std::string& root, size_t count)
{
    if (root.empty() || count == 0)
        return {};
    const std::string dcim = core::ResolveNoCase(root, "DCIM");
    std::error_code ec;
    if (dcim.empty() || !fs::is_directory(fs::symlink_status(dcim, ec)))
        return {};
    std::vector<Photo> photos;
    Collect(dcim, true, &photos);
    const auto newer = [](const Photo& a, const Photo& b) {
        return a.time != b.time ? a.time > b.time : a.path > b.path;
    };
    const size_t kept = std::min(count, photos.size());
    std::partial_sort(photos.begin(), photos.begin() + static_cast<std::ptrdiff_t>(kept), photos.end(), newer);
    std::vector<std::string> newest;
    for (size_t i = 0; i < kept; ++i)
        newest.push_back(photos[i].path);
    return newest;
}

CardCamera ReadCardCamera(const std::string& root)
{
    for (const std::string& photo : NewestPhotos(root, kPhotosTried)) {
        const std::string bytes = FirstBytes(photo);
        const ExifTexts texts = ReadExifTexts(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
        const CameraInfo camera = CameraFromExif(texts.model, texts.firmware);
        if (!camera.model.empty())
            return {camera, photo};
    }
    return {};
}

}  // namespace camera
