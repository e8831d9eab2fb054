// The device table: a growable array of DeviceRecords.
//
// When it must grow and no growth step was set, it grows by size/8 clamped to 4..1024 elements;
// new slots are zero-filled.
#pragma once

#include <cstddef>
#include <memory>
#include <span>

#include "common/records.h"

namespace talvek {

class DeviceArray {
 public:
  DeviceArray() = default;
  DeviceArray(const DeviceArray& other);
  DeviceArray& operator=(const DeviceArray& other);
  DeviceArray(DeviceArray&&) noexcept = default;
  DeviceArray& operator=(DeviceArray&&) noexcept = default;

  std::size_t GetSize() const { return size_; }
  std::size_t GetCapacity() const { return capacity_; }
  bool IsEmpty() const { return size_ == 0; }

  // Resizes to `newSize`; new elements are zero-filled. `growBy` > 0 sets the growth step
  // (0 or less keeps the current one; the default step is the size/8 rule).
  void SetSize(std::size_t newSize, int growBy = -1);
  // Appends a copy and returns its index.
  std::size_t Add(const DeviceRecord& device);
  void InsertAt(std::size_t index, const DeviceRecord& device);
  void RemoveAt(std::size_t index, std::size_t count = 1);
  void RemoveAll();

  DeviceRecord& operator[](std::size_t i) { return data_[i]; }
  const DeviceRecord& operator[](std::size_t i) const { return data_[i]; }
  DeviceRecord* begin() { return data_.get(); }
  DeviceRecord* end() { return data_.get() + size_; }
  const DeviceRecord* begin() const { return data_.get(); }
  const DeviceRecord* end() const { return data_.get() + size_; }
  std::span<DeviceRecord> span() { return {data_.get(), size_}; }
  std::span<const DeviceRecord> span() const { return {data_.get(), size_}; }

 private:
  std::unique_ptr<DeviceRecord[]> data_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  int growBy_ = 0;
};

}  // namespace talvek
