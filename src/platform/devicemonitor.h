// Block device arrivals and removals.
#pragma once

#include <QObject>
#include <QString>

class QSocketNotifier;

namespace platform {

class DeviceMonitor : public QObject {
    Q_OBJECT
public:
    explicit DeviceMonitor(QObject* parent = nullptr);
    ~DeviceMonitor() override;
    // Starts listening; false when the monitor cannot be opened.
    bool start();

signals:
    // action is "add", "remove" or "change"; name is the kernel name ("sdb1").
    void deviceEvent(const QString& action, const QString& name);

private:
    void readEvents();
    struct udev* udev_ = nullptr;
    struct udev_monitor* monitor_ = nullptr;
    QSocketNotifier* notifier_ = nullptr;
};

}  // namespace platform
