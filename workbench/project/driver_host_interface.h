// What the project document asks of the driver host, so that the document (project data) does not
// depend on the communication runtime that implements it.
#pragma once

namespace talvek {

class DriverHostInterface {
 public:
  virtual ~DriverHostInterface() = default;

  // Builds one driver per serial port in use from the device table of the open project; the
  // path of "Device.dat" is passed for the record and not read. Always 1.
  virtual int CreateDrivers(const char* deviceFilePath) = 0;
  // Deletes every driver (each must be stopped first; see StopAll).
  virtual void DestroyDrivers() = 0;
  // Opens every driver's port and starts the polling threads of those that opened.
  virtual void StartAll() = 0;
  // Stops every polling thread (waiting for its cycle to end) and closes the ports.
  virtual void StopAll() = 0;
  // True while at least one polling thread runs.
  virtual bool IsPolling() const = 0;
};

}  // namespace talvek
