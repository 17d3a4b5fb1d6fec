#include "access/masters/all_adapters.h"

#include "access/masters/adapter_detection.h"
#include "access/masters/i2c_adapters.h"
#include "access/masters/serial_adapters.h"
#include "access/masters/usb_adapters.h"
#include "access/masters/w1_kernel_master.h"
#include "access/provider.h"

namespace qb::access {

void RegisterHardwareAdapters(OneWireAccessProvider& provider,
                              const std::function<void(const std::string&)>& note) {
  RegisterSerialAdapters(provider, note);
  RegisterUsbAdapters(provider, note);
  RegisterKernelAdapters(provider, note);
  RegisterI2cAdapters(provider, note);
  provider.SetAdapterDetection(
      [note] {
        DetectionOptions options;
        options.log = note;
        return DetectAdapters(options);
      },
      note);
}

}  // namespace qb::access
