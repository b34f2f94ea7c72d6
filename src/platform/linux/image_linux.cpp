// Card images as a CardAccess backend wrapped around another one.
//
// Every operation opens the image again, finds its volume through that very
// descriptor (so a file replaced in between is judged by what it holds now)
// and keeps every transfer inside the volume's partition and the file.

#include <fcntl.h>
#include <unistd.h>

#include <memory>
#include <set>

#include "platform/images.h"
#include "platform/linux/carddevice_linux.h"
#include "platform/linux/fileio_linux.h"
#include "platform/linux/format_linux.h"
#include "platform/linux/imagefile_linux.h"
#include "platform/udisks.h"

namespace platform {

namespace {

using namespace image_detail;

using linux_detail::Fd;

class ImageAccess : public CardAccess {
public:
    ImageAccess(std::unique_ptr<CardAccess> inner, std::vector<Image> images)
        : inner_(std::move(inner)), images_(std::move(images))
    {
    }

    ~ImageAccess() override
    {
        // Images attached for their files are let go again.
        for (Image& image : images_)
            if (!image.loop.empty())
                Detach(image);
    }

    std::string BackendName() const override
    {
        return inner_ ? inner_->BackendName() + " and image" : std::string("image");
    }

    std::vector<Volume> ListVolumes() override
    {
        std::vector<Volume> all;
        if (inner_)
            all = inner_->ListVolumes();
        for (const Image& image : images_) {
            Volume v;
            if (Describe(image, &v))
                all.push_back(v);
        }
        return all;
    }

    bool FindVolume(const std::string& name, Volume* out) override
    {
        if (const Image* image = Find(name))
            return Describe(*image, out);
        return inner_ && inner_->FindVolume(name, out);
    }

    AccessResult ReadSectors(const std::string& name, uint64_t first, uint32_t count, void* buffer,
                             size_t bufferSize) override
    {
        const Image* image = Find(name);
        if (!image)
            return inner_ ? inner_->ReadSectors(name, first, count, buffer, bufferSize) : NoCard(name);
        return Read(*image, first, count, buffer, bufferSize, false);
    }

    AccessResult WriteSectors(const std::string& name, uint64_t first, uint32_t count, const void* buffer,
                              size_t bufferSize) override
    {
        const Image* image = Find(name);
        if (!image)
            return inner_ ? inner_->WriteSectors(name, first, count, buffer, bufferSize) : NoCard(name);
        if (buffer == nullptr)
            return AccessResult::Fail(AccessError::Io, "No buffer");
        int raw = -1;
        Opened o;
        AccessResult r = OpenImage(*image, O_RDWR, &raw, &o);
        if (!r.ok())
            return r;
        Fd fd(raw);
        // Even a loop device this program attached must be gone by now.
        r = RefuseWhenLoopServes(*image, o, std::string());
        if (!r.ok())
            return r;
        off_t offset = 0;
        size_t length = 0;
        r = Range(*image, o, first, count, bufferSize, &offset, &length);
        if (!r.ok())
            return r;
        return linux_detail::WriteWholeAndClose(fd, buffer, length, offset, image->given.path);
    }

    AccessResult ReadSectorsUncached(const std::string& name, uint64_t first, uint32_t count, void* buffer,
                                     size_t bufferSize) override
    {
        const Image* image = Find(name);
        if (!image)
            return inner_ ? inner_->ReadSectorsUncached(name, first, count, buffer, bufferSize) : NoCard(name);
        return Read(*image, first, count, buffer, bufferSize, true);
    }

    AccessResult CheckWritable(const std::string& name) override
    {
        const Image* image = Find(name);
        if (!image)
            return inner_ ? inner_->CheckWritable(name) : NoCard(name);
        int raw = -1;
        Opened o;
        AccessResult r = OpenImage(*image, O_RDWR, &raw, &o);
        if (!r.ok())
            return r;
        ::close(raw);
        // A loop device this program attached for the files is let go
        // before the boot record is written.
        return RefuseWhenLoopServes(*image, o, image->loop);
    }

    AccessResult OpenDevice(const std::string& name, bool write, std::unique_ptr<CardDevice>* device) override
    {
        const Image* image = Find(name);
        if (!image)
            return inner_ ? inner_->OpenDevice(name, write, device) : NoCard(name);
        const int mode = write ? O_RDWR : O_RDONLY;
        int raw = -1;
        Opened o;
        AccessResult r = OpenImage(*image, mode, &raw, &o);
        if (!r.ok())
            return r;
        Fd fd(raw);
        // Past the page cache where the file system allows it (tmpfs does
        // not), on the very file that was just examined.
        bool uncached = false;
        const int direct = ::open(image->given.path.c_str(), mode | O_DIRECT | O_CLOEXEC);
        struct stat st {};
        if (direct >= 0 && fstat(direct, &st) == 0 && st.st_dev == o.st.st_dev && st.st_ino == o.st.st_ino) {
            fd.reset(direct);
            uncached = true;
        } else if (direct >= 0) {
            ::close(direct);
        }
        *device = linux_detail::MakeFdDevice(fd, o.where.firstSector * kSector, o.where.sectorCount * kSector,
                                             static_cast<uint32_t>(kSector), uncached, image->given.path);
        return AccessResult::Ok();
    }

    AccessResult Mount(const std::string& name, std::string* mountPoint) override
    {
        Image* image = Find(name);
        if (!image)
            return inner_ ? inner_->Mount(name, mountPoint) : NoCard(name);
        if (!image->given.root.empty()) {
            if (mountPoint)
                *mountPoint = image->given.root;
            return AccessResult::Ok();
        }
        if (!inner_ || inner_->BackendName() != "udisks2")
            return AccessResult::Fail(AccessError::Unsupported,
                                      image->name + " is an image file and its files are not reachable: mount it "
                                                    "yourself and give --root DIR where you mounted it (or run "
                                                    "udisks2, which attaches and mounts it)");
        return AttachAndMount(*image, mountPoint);
    }

    AccessResult Unmount(const std::string& name) override
    {
        Image* image = Find(name);
        if (!image)
            return inner_ ? inner_->Unmount(name) : NoCard(name);
        if (!image->loop.empty())
            return Detach(*image);
        // Nothing was mounted here; a mount the user made (--root) is theirs
        // and stays. Through FUSE it would undo a boot-record write later, so
        // such a write is refused instead of reported as done.
        if (OnFuse(image->given.root))
            return AccessResult::Fail(AccessError::Unsupported,
                                      image->name + " is mounted at " + image->given.root +
                                          " through FUSE, whose driver writes its own copy of the boot sector back "
                                          "when it unmounts; unmount it yourself first, then run again without --root");
        return AccessResult::Ok();
    }

    FormatOutcome Format(const std::string& name, const std::string& identity, const std::string& fsName,
                         const std::string& label) override
    {
        Image* image = Find(name);
        if (!image) {
            if (inner_)
                return inner_->Format(name, identity, fsName, label);
            return FormatOutcome::Fail(FormatNotFormatable, NoCard(name));
        }
        Volume v;
        if (!Describe(*image, &v) || identity.empty() || v.identity != identity)
            return FormatOutcome::Fail(FormatError, AccessError::NotFound, linux_detail::CardChangedText(name));
        return FormatOutcome::Fail(FormatNotFormatable, AccessError::Unsupported,
                                   name + " is an image file; formatting images is not supported");
    }

    const std::vector<Image>& images() const { return images_; }

private:
    static AccessResult NoCard(const std::string& name)
    {
        return AccessResult::Fail(AccessError::NotFound, name + " is not a card or image that is listed");
    }

    Image* Find(const std::string& name)
    {
        for (Image& image : images_)
            if (image.name == name)
                return &image;
        return nullptr;
    }

    // The user's own loop devices are cards of udisks2 only while loop
    // devices are listed.
    template <typename F> auto WithLoops(F f)
    {
        const bool before = IncludeLoop();
        SetIncludeLoop(true);
        auto result = f();
        SetIncludeLoop(before);
        return result;
    }

    AccessResult AttachAndMount(Image& image, std::string* mountPoint)
    {
        if (image.loop.empty()) {
            int raw = -1;
            Opened o;
            AccessResult r = OpenImage(image, O_RDONLY, &raw, &o);
            if (!r.ok())
                return r;
            ::close(raw);
            r = UdisksLoopSetup(image.given.path, false, &image.loop);
            if (!r.ok())
                return r;
            image.loopVolume = image.loop;
            if (o.where.partition > 0)
                image.loopVolume += 'p' + std::to_string(o.where.partition);
        }
        // udisks2 needs a moment to see the new device's file system.
        AccessResult r;
        for (int attempt = 0; attempt < 50; ++attempt) {
            r = WithLoops([&] { return inner_->Mount(image.loopVolume, mountPoint); });
            if (r.ok() || r.error == AccessError::Refused)
                break;
            ::usleep(100000);
        }
        if (!r.ok())
            Detach(image);
        return r;
    }

    AccessResult Detach(Image& image)
    {
        AccessResult r = WithLoops([&] { return inner_->Unmount(image.loopVolume); });
        if (r.ok() || r.error == AccessError::NotFound)
            r = UdisksLoopDelete(image.loop);
        if (r.ok()) {
            image.loop.clear();
            image.loopVolume.clear();
        }
        return r;
    }

    bool Describe(const Image& image, Volume* out)
    {
        if (!DescribeFile(image, out))
            return false;
        if (!image.loopVolume.empty()) {
            // Attached and mounted through a loop device: its files are there.
            // The loop device keeps a cache of its own, apart from the file's,
            // so it is unmounted before the boot record is written to the file.
            Volume loop;
            if (WithLoops([&] { return inner_->FindVolume(image.loopVolume, &loop); }) && !loop.mountPoint.empty()) {
                out->mountPoint = loop.mountPoint;
                out->userSpaceMount = true;
            }
        }
        return true;
    }

    std::unique_ptr<CardAccess> inner_;
    std::vector<Image> images_;
};

}  // namespace

std::unique_ptr<CardAccess> WithImages(std::unique_ptr<CardAccess> inner, const std::vector<ImageSpec>& images,
                                       std::string* why)
{
    std::set<std::string> taken;
    if (inner)
        for (const Volume& v : inner->ListVolumes())
            taken.insert(v.name);
    std::vector<Image> list;
    for (const ImageSpec& given : images) {
        if (given.partition < 0) {
            if (why)
                *why = given.path + ": a partition number counts from 1";
            return nullptr;
        }
        Image image{given, BaseName(given.path), {}, {}};
        if (image.name.empty() || image.name == "." || image.name == "..") {
            if (why)
                *why = "Not an image file: " + given.path;
            return nullptr;
        }
        // One name per image, never one the inner backend lists.
        const std::string base = image.name;
        for (int n = 2; taken.count(image.name); ++n)
            image.name = base + "-" + std::to_string(n);
        int raw = -1;
        Opened o;
        const AccessResult r = OpenImage(image, O_RDONLY, &raw, &o);
        if (!r.ok()) {
            if (why)
                *why = r.why;
            return nullptr;
        }
        ::close(raw);
        taken.insert(image.name);
        list.push_back(image);
    }
    return std::make_unique<ImageAccess>(std::move(inner), std::move(list));
}

}  // namespace platform
