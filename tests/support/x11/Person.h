#pragma once

#include <X11/Xlib.h>
#include <X11/extensions/XInput.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/XTest.h>

#include <string>

namespace orvane::test {

// A person at the server's own keyboard and mouse: Xvfb's slave devices that
// are not XTest ones, driven through XInput 1 so the server takes their input
// as theirs.
class Person {
 public:
  Person() : display_(XOpenDisplay(nullptr)) {
    int count = 0;
    XIDeviceInfo* devices = XIQueryDevice(display_, XIAllDevices, &count);
    for (int i = 0; i < count; ++i) {
      const XIDeviceInfo& device = devices[i];
      if (!device.enabled || std::string(device.name).find("XTEST") != std::string::npos) continue;
      if (device.use == XISlaveKeyboard) keyboard_ = XOpenDevice(display_, device.deviceid);
      if (device.use == XISlavePointer) mouse_ = XOpenDevice(display_, device.deviceid);
    }
    XIFreeDeviceInfo(devices);
  }
  ~Person() {
    if (keyboard_) XCloseDevice(display_, keyboard_);
    if (mouse_) XCloseDevice(display_, mouse_);
    XCloseDisplay(display_);
  }
  bool ready() const { return keyboard_ && mouse_; }
  void key(unsigned keycode) {
    for (Bool press : {True, False}) {
      XTestFakeDeviceKeyEvent(display_, keyboard_, keycode, press, nullptr, 0, CurrentTime);
    }
    XFlush(display_);
  }
  void click() {
    for (Bool press : {True, False}) XTestFakeDeviceButtonEvent(display_, mouse_, 1, press, nullptr, 0, CurrentTime);
    XFlush(display_);
  }

 private:
  Display* display_;
  XDevice* keyboard_ = nullptr;
  XDevice* mouse_ = nullptr;
};

}  // namespace orvane::test
