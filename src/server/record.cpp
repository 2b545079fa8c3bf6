// Request and answer records: the checksums that guard them. Kept apart from the rest of
// the server so that a client links only this.
#include <algorithm>

#include "server/server.h"
#include "virusdata/checksum.h"

namespace server {

std::vector<uint8_t> build_answer(int result, std::string_view virus_name) {
  std::vector<uint8_t> a(kAnswerSize, 0);
  a[0] = 'W', a[1] = 'L';
  a[38] = uint8_t(result), a[39] = uint8_t(uint16_t(result) >> 8);
  const size_t n = std::min(virus_name.size(), kAnswerNameSize - 1);
  std::copy(virus_name.begin(), virus_name.begin() + std::ptrdiff_t(n), a.begin() + 40);
  virusdata::checksum_start(virusdata::kRequestKey);
  virusdata::checksum_add(a.data(), int32_t(kAnswerHeaderSize));
  virusdata::checksum_add(a.data() + kAnswerHeaderSize, int32_t(kAnswerBodySize));
  const uint32_t sum = virusdata::checksum_value32();
  for (int i = 0; i < 4; ++i) a[2 + size_t(i)] = uint8_t(sum >> (8 * i));
  return a;
}

bool check_answer(const uint8_t* data, size_t size, int& result, std::string& virus_name) {
  if (size != kAnswerSize || data[0] != 'W' || data[1] != 'L') return false;
  std::vector<uint8_t> a(data, data + size);
  const uint32_t stored = uint32_t(a[2]) | (uint32_t(a[3]) << 8) | (uint32_t(a[4]) << 16) | (uint32_t(a[5]) << 24);
  a[2] = a[3] = a[4] = a[5] = 0;
  if (virusdata::checksum32_of(virusdata::kRequestKey, a.data(), int32_t(a.size())) != stored) return false;
  result = int16_t(a[38] | (a[39] << 8));
  virus_name.clear();
  for (size_t i = 40; i < 40 + kAnswerNameSize - 1 && a[i] != 0; ++i) virus_name += char(a[i]);
  return true;
}

void seal_request(std::vector<uint8_t>& r) {
  if (r.size() < 8) return;
  r[4] = r[5] = r[6] = r[7] = 0;
  const uint32_t sum = virusdata::checksum32_of(virusdata::kRequestKey, r.data(),
                                                int32_t(std::min<size_t>(r.size(), kRequestReadMax)));
  for (int i = 0; i < 4; ++i) r[4 + size_t(i)] = uint8_t(sum >> (8 * i));
}

}  // namespace server
