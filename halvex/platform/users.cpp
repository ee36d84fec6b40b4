// User and group registry and the threads' current identities.
#include <halvex/platform/users.h>

#include "halvex/platform/platform_internal.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

// Pulls the library's start-up object into programs that link it statically.
extern "C" const int halvex_startup_anchor;
[[gnu::used]] static const int* const kStartupAnchor = &halvex_startup_anchor;

namespace ZYRK {
namespace Platform {

namespace {

struct UserEntry {
    std::string name;
    unsigned short group = 5;
    std::string password;
    bool passwordSet = true;  // false: nobody can authenticate as this user
};

struct InitialUser {
    const char* name;
    unsigned short group;
};

const InitialUser kInitialUsers[kUserCount] = {
    {"root", 0},   {"shell", 4},  {"ressrv", 4}, {"frgrab", 4},  {"imgsrc", 4},  {"registry", 4},
    {"invalid", 5}, {"spare1", 5}, {"spare2", 5}, {"spare3", 5},  {"spare4", 5},  {"", 10},
    {"", 10},      {"", 10},      {"", 10},      {"", 10},
};

const char* const kGroupNames[kGroupCount] = {
    "root",   "supv",   "factory",  "calib",      "user",           "invalid", "measure",
    "spare1", "spare2", "spare3",   "external",   "user_calib",     "user_calib_tmp",
};

constexpr int kGroupPlaces = 5;

// Made on first use and never destroyed: start-up and shut-down run from the
// library's constructor and destructor, outside the order of static objects.
UserEntry* UserTable()
{
    static UserEntry* table = new UserEntry[kUserCount];
    return table;
}
#define gUsers (UserTable())
unsigned short gMembers[kGroupCount][kGroupPlaces];

struct ThreadIdentity {
    unsigned short user = 0;
    unsigned short group = 0;
};

thread_local ThreadIdentity tIdentity;

void FillInitialMembers()
{
    for (auto& group : gMembers)
        for (auto& place : group)
            place = kNoUser;
    gMembers[0][0] = 3;
    gMembers[0][1] = 4;
    gMembers[4][0] = 2;
    gMembers[4][1] = 5;
    for (int i = 0; i < 5; ++i)
        gMembers[10][i] = static_cast<unsigned short>(11 + i);
}

std::string ReadSecretFile(const char* path)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return {};
    struct stat st{};
    std::string secret;
    // A secret that others can read, or that root does not own, is refused.
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == 0 && (st.st_mode & 077) == 0 &&
        st.st_size < 256) {
        char buf[256];
        ssize_t n = read(fd, buf, sizeof buf - 1);
        if (n > 0) {
            secret.assign(buf, static_cast<size_t>(n));
            while (!secret.empty() && (secret.back() == '\n' || secret.back() == '\r'))
                secret.pop_back();
        }
    } else {
        std::fprintf(stderr, "halvex: ignoring %s: it must be a regular file owned by root with mode 0600\n", path);
    }
    close(fd);
    return secret;
}

// Changes the first place of group that holds from to hold to; only root's
// group may change groups. 1 done, 0 refused or no such place.
int ReplaceGroupMember(unsigned short group, unsigned short from, unsigned short to)
{
    if (group >= kGroupCount || get_group_id() != 0)
        return 0;
    for (auto& place : gMembers[group]) {
        if (place == from) {
            place = to;
            return 1;
        }
    }
    return 0;
}

}  // namespace

std::string ReadRootPassword()
{
    const char* env = std::getenv("HALVEX_ROOT_PASSWORD");
    if (env && *env)
        return env;
    const char* file = std::getenv("HALVEX_ROOT_PASSWORD_FILE");
    return ReadSecretFile(file && *file ? file : "/etc/halvex/root.passwd");
}

void LoadUserTable()
{
    for (unsigned short i = 0; i < kUserCount; ++i) {
        gUsers[i].name = kInitialUsers[i].name;
        gUsers[i].group = kInitialUsers[i].group;
        gUsers[i].password.clear();
        gUsers[i].passwordSet = true;
    }
    gUsers[0].password = ReadRootPassword();
    gUsers[0].passwordSet = !gUsers[0].password.empty();
    FillInitialMembers();
}

void FreeUserTable()
{
    for (int i = 0; i < kUserCount; ++i) {
        UserEntry& user = gUsers[i];
        user.name.clear();
        user.name.shrink_to_fit();
        user.password.clear();
        user.password.shrink_to_fit();
        user.group = 5;
    }
}

static int FindUser(const char* name)
{
    for (int i = 0; i < kUserCount; ++i) {
        if (gUsers[i].name == name)
            return i;
    }
    return -1;
}

}  // namespace Platform
}  // namespace ZYRK

using namespace ZYRK::Platform;

unsigned short get_user_id(void)
{
    return tIdentity.user;
}

void set_user_id(unsigned short id)
{
    tIdentity.user = id;
}

unsigned short get_group_id(void)
{
    return tIdentity.group;
}

void set_group_id(unsigned short id)
{
    tIdentity.group = id;
}

int user_in_group(unsigned short user, unsigned short group)
{
    // Every place is looked at: removing a member leaves a free place (6)
    // in the middle of the list, and the members after it still count.
    if (group >= kGroupCount || user == kNoUser)
        return 0;
    for (unsigned short member : gMembers[group]) {
        if (member == user)
            return 1;
    }
    return 0;
}

const char* get_user_name(unsigned short id)
{
    return gUsers[id < kUserCount ? id : kNoUser].name.c_str();
}

const char* get_group_name(unsigned short id)
{
    return kGroupNames[id < kGroupCount ? id : 5];
}

int get_user_id_from_name(const char* name, unsigned short* id, unsigned short* group)
{
    if (!name || !id || !group)
        return 0;
    int i = FindUser(name);
    if (i < 0)
        return 0;
    *id = static_cast<unsigned short>(i);
    *group = gUsers[i].group;
    return 1;
}

int get_group_id_from_name(const char* name, unsigned short* id)
{
    if (!name || !id)
        return 0;
    for (unsigned short i = 0; i < kGroupCount; ++i) {
        if (std::strcmp(kGroupNames[i], name) == 0) {
            *id = i;
            return 1;
        }
    }
    return 0;
}

int is_valid_user(const char* name, const char* password)
{
    // Free places have an empty name and password; they authenticate nobody.
    if (!name || !password || !*name)
        return 0;
    for (int i = 0; i < kUserCount; ++i) {
        const UserEntry& user = gUsers[i];
        if (user.passwordSet && user.name == name && user.password == password)
            return 1;
    }
    return 0;
}

int add_user(const char* name, const char* password, unsigned short* id, unsigned short* group)
{
    if (!name || !password || !id || !group || !*name)
        return 0;
    if (is_valid_user(name, password))
        return get_user_id_from_name(name, id, group);
    // A name that is already taken is not added a second time: the copy
    // would authenticate with its own password but resolve to the first
    // user of that name (root, for instance).
    if (FindUser(name) >= 0)
        return 0;
    for (unsigned short i = 11; i < kUserCount; ++i) {
        if (gUsers[i].name.empty()) {
            gUsers[i].name = name;
            gUsers[i].password = password;
            gUsers[i].passwordSet = true;
            gUsers[i].group = 10;
            *id = i;
            *group = 10;
            return 1;
        }
    }
    return 0;
}

int remove_user(const char* name, const char* password)
{
    if (!name || !password || !is_valid_user(name, password))
        return 0;
    for (int i = 0; i < kUserCount; ++i) {
        UserEntry& user = gUsers[i];
        if (user.passwordSet && user.name == name && user.password == password) {
            user.name.clear();
            user.password.clear();
            user.group = 5;
            return 1;
        }
    }
    return 0;
}

int add_user_to_group(unsigned short user, unsigned short group)
{
    return ReplaceGroupMember(group, kNoUser, user);
}

int remove_user_from_group(unsigned short user, unsigned short group)
{
    return ReplaceGroupMember(group, user, kNoUser);
}
