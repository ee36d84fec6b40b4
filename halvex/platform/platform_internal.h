// Internals of the library's start-up, user registry and random numbers.
#pragma once

#include <cstdint>
#include <string>

namespace ZYRK {
namespace Platform {

constexpr unsigned short kUserCount = 16;
constexpr unsigned short kGroupCount = 13;
constexpr unsigned short kNoUser = 6;

// Start-up and shut-down of the library (run when it is loaded and unloaded;
// idempotent).
void LibraryStartup();
void LibraryShutdown();

// Fills the live user table from the initial one (root's password from the
// operator's file or environment) and empties it again.
void LoadUserTable();
void FreeUserTable();

// Root's password as configured by the operator: HALVEX_ROOT_PASSWORD, else
// the file named by HALVEX_ROOT_PASSWORD_FILE or /etc/halvex/root.passwd
// when it is owned by root and readable by nobody else. Empty: none.
std::string ReadRootPassword();

// The library's MT19937 generator.
void SeedRandom(const uint32_t* key, int length);
uint32_t Random32();

}  // namespace Platform
}  // namespace ZYRK
