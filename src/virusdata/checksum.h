// The keyed checksum and the 64-bit block cipher it is built on.
//
// The cipher: eight Feistel rounds over four 8-bit substitution tables, round keys chosen
// from the 8 key bytes by a fixed selection table. The checksum cuts a stream into 8-byte
// blocks, XORs each into an 8-byte state block (zero at start) and enciphers the state.
//
// State: one checksum in progress at a time, held in g_checksum together with the round
// keys. Direct users of key_setup()/encipher_block() (poll-interval generator, the
// day/percentage option) replace the round keys, so they may only run between checksums,
// never between checksum_start() and the value; every checksum sets its own key up again.
#pragma once

#include <cstdint>

namespace virusdata {

constexpr int kKeySize = 8;    // bytes of a key
constexpr int kBlockSize = 8;  // bytes of a cipher block
constexpr int kRounds = 8;     // Feistel rounds per block

// Key of the server state and statistics file: "5820147" and its terminating zero byte.
constexpr uint8_t kStateFileKey[kKeySize] = {'5', '8', '2', '0', '1', '4', '7', 0};
// Key of request and answer records: "27190438", no terminator.
constexpr uint8_t kRequestKey[kKeySize] = {'2', '7', '1', '9', '0', '4', '3', '8'};
// Key of user pattern records and of pattern match confirmation.
constexpr uint8_t kPatternKey[kKeySize] = {0x5E, 0x21, 0xA7, 0x3C, 0x09, 0xD4, 0x6B, 0x80};
// Key of the identity checks.
constexpr uint8_t kIdentityKey[kKeySize] = {0xC3, 0x7A, 0x15, 0xE8, 0x42, 0x9B, 0x06, 0xD1};

// The four substitution tables S1..S4, 256 bytes each, in that order; each a permutation.
extern const uint8_t kSubstitution[4 * 256];
// Key selection: for round r, row j (K1..K4) takes key byte kKeySelect[r][j].
extern const uint8_t kKeySelect[kRounds][4];

struct ChecksumState {               // reset by reset_checksum(); set by checksum_start()
  int position = 0;                  // bytes already XORed into the current block, 0..7
  uint8_t block[kBlockSize]{};       // the state block
  uint8_t round_keys[4][kRounds]{};  // K1..K4, one byte per round (shared with direct cipher users)
};
extern ChecksumState g_checksum;
void reset_checksum();

// Fills the round keys K1..K4 of g_checksum from key[0..7]. Position and block untouched.
void key_setup(const uint8_t key[kKeySize]);

// Enciphers block[0..7] in place under the current round keys.
void encipher_block(uint8_t block[kBlockSize]);

// Starts a checksum: position 0, zero state block, round keys from key.
void checksum_start(const uint8_t key[kKeySize]);

// Adds length bytes of data to the checksum in progress; a length of 0 or less adds
// nothing (data is then not read and may be null). No allocation, no copy.
void checksum_add(const uint8_t* data, int32_t length);

// The 32-bit value: a pending partial block is first enciphered (its missing bytes count
// as zero); result is state bytes 4..7 little-endian. Position is left as it was: the
// caller starts a new checksum before the next use.
uint32_t checksum_value32();

// The 64-bit value as two little-endian words of the state block as it stands (a pending
// partial block is XORed in but not enciphered): word0 = bytes 0..3, word1 = bytes 4..7.
void checksum_value64(uint32_t& word0, uint32_t& word1);

// Convenience: the whole checksum of one buffer under a key (start, add, value).
uint32_t checksum32_of(const uint8_t key[kKeySize], const uint8_t* data, int32_t length);
void checksum64_of(const uint8_t key[kKeySize], const uint8_t* data, int32_t length, uint32_t& word0,
                   uint32_t& word1);
// The digest a pattern record keeps for a signature whose first `length` bytes (all but the
// last four) are `head`: their 64-bit checksum under the pattern key, word0's bytes first,
// each word little-endian.
void pattern_digest(const uint8_t* head, int32_t length, uint8_t digest[8]);

}  // namespace virusdata
