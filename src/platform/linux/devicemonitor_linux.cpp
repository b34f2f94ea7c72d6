// Block device events from the kernel through a libudev netlink monitor.
//
// The monitor listens to the "kernel" source: it needs no udev daemon, and
// the events arrive before any daemon would have processed them.

#include <libudev.h>

#include <QSocketNotifier>

#include "platform/devicemonitor.h"

namespace platform {

DeviceMonitor::DeviceMonitor(QObject* parent) : QObject(parent) {}

DeviceMonitor::~DeviceMonitor()
{
    delete notifier_;
    notifier_ = nullptr;
    if (monitor_)
        udev_monitor_unref(monitor_);
    if (udev_)
        udev_unref(udev_);
}

bool DeviceMonitor::start()
{
    if (monitor_)
        return true;
    udev_ = udev_new();
    if (!udev_)
        return false;
    monitor_ = udev_monitor_new_from_netlink(udev_, "kernel");
    if (!monitor_ || udev_monitor_filter_add_match_subsystem_devtype(monitor_, "block", nullptr) < 0 ||
        udev_monitor_enable_receiving(monitor_) < 0) {
        if (monitor_)
            udev_monitor_unref(monitor_);
        monitor_ = nullptr;
        udev_unref(udev_);
        udev_ = nullptr;
        return false;
    }
    const int fd = udev_monitor_get_fd(monitor_);
    notifier_ = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] { readEvents(); });
    return true;
}

void DeviceMonitor::readEvents()
{
    // The socket is non-blocking: take everything that is queued.
    while (udev_device* dev = udev_monitor_receive_device(monitor_)) {
        const char* action = udev_device_get_action(dev);
        const char* name = udev_device_get_sysname(dev);
        const QString a = QString::fromUtf8(action ? action : "");
        const QString n = QString::fromUtf8(name ? name : "");
        udev_device_unref(dev);
        if (!n.isEmpty())
            emit deviceEvent(a, n);
    }
}

}  // namespace platform
