#include "common/device_array.h"

#include <algorithm>
#include <cstring>

namespace talvek {

DeviceArray::DeviceArray(const DeviceArray& other) {
  *this = other;
}

DeviceArray& DeviceArray::operator=(const DeviceArray& other) {
  if (this == &other)
    return *this;
  RemoveAll();
  growBy_ = other.growBy_;
  SetSize(other.size_);
  if (size_ > 0)
    std::memcpy(data_.get(), other.data_.get(), size_ * sizeof(DeviceRecord));
  return *this;
}

void DeviceArray::SetSize(std::size_t newSize, int growBy) {
  if (growBy > 0)
    growBy_ = growBy;
  if (newSize > capacity_) {
    std::size_t step = static_cast<std::size_t>(growBy_);
    if (step == 0)
      step = std::clamp<std::size_t>(size_ / 8, 4, 1024);
    std::size_t newCapacity = std::max(newSize, capacity_ + step);
    auto grown = std::make_unique<DeviceRecord[]>(newCapacity);  // value-initialised: zeroed
    if (size_ > 0)
      std::memcpy(grown.get(), data_.get(), size_ * sizeof(DeviceRecord));
    data_ = std::move(grown);
    capacity_ = newCapacity;
  }
  if (newSize > size_) {
    std::memset(data_.get() + size_, 0, (newSize - size_) * sizeof(DeviceRecord));
  }
  size_ = newSize;
}

std::size_t DeviceArray::Add(const DeviceRecord& device) {
  const DeviceRecord copy = device;  // `device` may live inside this array
  SetSize(size_ + 1);
  data_[size_ - 1] = copy;
  return size_ - 1;
}

void DeviceArray::InsertAt(std::size_t index, const DeviceRecord& device) {
  const DeviceRecord copy = device;
  if (index >= size_) {
    SetSize(index + 1);
  } else {
    SetSize(size_ + 1);
    std::memmove(data_.get() + index + 1, data_.get() + index,
                 (size_ - 1 - index) * sizeof(DeviceRecord));
  }
  data_[index] = copy;
}

void DeviceArray::RemoveAt(std::size_t index, std::size_t count) {
  if (index >= size_)
    return;
  count = std::min(count, size_ - index);
  std::memmove(data_.get() + index, data_.get() + index + count,
               (size_ - index - count) * sizeof(DeviceRecord));
  size_ -= count;
}

void DeviceArray::RemoveAll() {
  data_.reset();
  size_ = 0;
  capacity_ = 0;
}

}  // namespace talvek
