#include <halvex/platform/users.h>

#include "halvex/platform/platform_internal.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace ZYRK::Platform;

namespace {

class Users : public ::testing::Test {
protected:
    void SetUp() override
    {
        unsetenv("HALVEX_ROOT_PASSWORD");
        setenv("HALVEX_ROOT_PASSWORD_FILE", "/nonexistent/halvex-root.passwd", 1);
        LoadUserTable();
        set_user_id(0);
        set_group_id(0);
    }
    void TearDown() override
    {
        unsetenv("HALVEX_ROOT_PASSWORD");
        unsetenv("HALVEX_ROOT_PASSWORD_FILE");
        LoadUserTable();
    }
};

TEST_F(Users, NewThreadStartsAsUserZeroGroupZero)
{
    set_user_id(5);
    set_group_id(4);
    unsigned short user = 99, group = 99;
    std::thread([&] {
        user = get_user_id();
        group = get_group_id();
    }).join();
    EXPECT_EQ(user, 0);
    EXPECT_EQ(group, 0);
    EXPECT_EQ(get_user_id(), 5);
    EXPECT_EQ(get_group_id(), 4);
}

TEST_F(Users, PasswordsAreComparedExactly)
{
    EXPECT_EQ(is_valid_user("shell", ""), 1);
    EXPECT_EQ(is_valid_user("Shell", ""), 0);
    EXPECT_EQ(is_valid_user("shell", "x"), 0);
    EXPECT_EQ(is_valid_user(nullptr, ""), 0);
    EXPECT_EQ(is_valid_user("shell", nullptr), 0);
    // Free places have empty names but must not authenticate an empty name.
    EXPECT_EQ(is_valid_user("", ""), 0);
}

TEST_F(Users, RootNeedsTheOperatorsPassword)
{
    EXPECT_EQ(is_valid_user("root", ""), 0);
    setenv("HALVEX_ROOT_PASSWORD", "s3cr3", 1);
    LoadUserTable();
    EXPECT_EQ(is_valid_user("root", "s3cr3"), 1);
    EXPECT_EQ(is_valid_user("root", ""), 0);
    EXPECT_EQ(is_valid_user("root", "S3CR3"), 0);
}

TEST_F(Users, PasswordFileReadableByOthersIsRefused)
{
    char path[] = "/tmp/halvex-rootpw-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "abcde\n", 6), 6);
    close(fd);
    setenv("HALVEX_ROOT_PASSWORD_FILE", path, 1);
    chmod(path, 0644);
    EXPECT_EQ(ReadRootPassword(), "");
    chmod(path, 0600);
    // Only a file that root owns counts.
    EXPECT_EQ(ReadRootPassword(), geteuid() == 0 ? "abcde" : "");
    unlink(path);
}

TEST_F(Users, AddUserFillsTheExternalPlaces)
{
    unsigned short id = 0, group = 0;
    ASSERT_EQ(add_user("ext1", "pw", &id, &group), 1);
    EXPECT_EQ(id, 11);
    EXPECT_EQ(group, 10);
    EXPECT_STREQ(get_user_name(11), "ext1");
    // The same name and password again: the existing user.
    ASSERT_EQ(add_user("ext1", "pw", &id, &group), 1);
    EXPECT_EQ(id, 11);
    for (int i = 2; i <= 5; ++i)
        ASSERT_EQ(add_user(("ext" + std::to_string(i)).c_str(), "pw", &id, &group), 1) << i;
    EXPECT_EQ(id, 15);
    EXPECT_EQ(add_user("ext6", "pw", &id, &group), 0);
    EXPECT_EQ(add_user("", "pw", &id, &group), 0);
    EXPECT_EQ(add_user("ext7", "pw", nullptr, &group), 0);
    // A removed user frees its place.
    EXPECT_EQ(remove_user("ext3", "wrong"), 0);
    EXPECT_EQ(remove_user("ext3", "pw"), 1);
    EXPECT_EQ(is_valid_user("ext3", "pw"), 0);
    ASSERT_EQ(add_user("ext6", "pw", &id, &group), 1);
    EXPECT_EQ(id, 13);
}

TEST_F(Users, AddUserDoesNotShadowAnExistingName)
{
    unsigned short id = 0, group = 0;
    // Otherwise "root" with any password would resolve to user 0.
    EXPECT_EQ(add_user("root", "guess", &id, &group), 0);
    EXPECT_EQ(is_valid_user("root", "guess"), 0);
    EXPECT_EQ(add_user("shell", "other", &id, &group), 0);
    ASSERT_EQ(add_user("shell", "", &id, &group), 1);
    EXPECT_EQ(id, 1);
    EXPECT_EQ(group, 4);
}

TEST_F(Users, GroupMembership)
{
    EXPECT_EQ(user_in_group(2, 4), 1);
    EXPECT_EQ(user_in_group(5, 4), 1);
    EXPECT_EQ(user_in_group(1, 4), 0);
    EXPECT_EQ(user_in_group(3, 0), 1);
    EXPECT_EQ(user_in_group(0, 0), 0);  // the default group is not membership
    EXPECT_EQ(user_in_group(13, 10), 1);
    EXPECT_EQ(user_in_group(2, 13), 0);
    EXPECT_EQ(user_in_group(2, 0xFFFF), 0);
    EXPECT_EQ(user_in_group(6, 1), 0);  // "no user" is never a member
}

TEST_F(Users, ChangingGroupsNeedsGroupZero)
{
    set_group_id(4);
    EXPECT_EQ(add_user_to_group(1, 4), 0);
    EXPECT_EQ(remove_user_from_group(2, 4), 0);
    set_group_id(0);
    EXPECT_EQ(add_user_to_group(1, 13), 0);
    ASSERT_EQ(add_user_to_group(1, 4), 1);
    EXPECT_EQ(user_in_group(1, 4), 1);
    ASSERT_EQ(add_user_to_group(7, 4), 1);
    ASSERT_EQ(add_user_to_group(8, 4), 1);
    EXPECT_EQ(add_user_to_group(9, 4), 0);  // five places
    // Removing the first member keeps the later ones.
    ASSERT_EQ(remove_user_from_group(2, 4), 1);
    EXPECT_EQ(user_in_group(2, 4), 0);
    EXPECT_EQ(user_in_group(5, 4), 1);
    EXPECT_EQ(user_in_group(8, 4), 1);
    EXPECT_EQ(remove_user_from_group(2, 4), 0);
    ASSERT_EQ(add_user_to_group(9, 4), 1);
    EXPECT_EQ(user_in_group(9, 4), 1);
}

TEST_F(Users, NamesAndLookups)
{
    EXPECT_STREQ(get_user_name(16), "invalid");
    EXPECT_STREQ(get_user_name(2), "ressrv");
    EXPECT_STREQ(get_group_name(13), "invalid");
    EXPECT_STREQ(get_group_name(12), "user_calib_tmp");
    unsigned short id = 0, group = 0;
    ASSERT_EQ(get_user_id_from_name("registry", &id, &group), 1);
    EXPECT_EQ(id, 5);
    EXPECT_EQ(group, 4);
    EXPECT_EQ(get_user_id_from_name("Registry", &id, &group), 0);
    EXPECT_EQ(get_user_id_from_name(nullptr, &id, &group), 0);
    ASSERT_EQ(get_group_id_from_name("external", &id), 1);
    EXPECT_EQ(id, 10);
    EXPECT_EQ(get_group_id_from_name("nope", &id), 0);
}

TEST(Random, SeedByArrayMatchesTheReferenceGenerator)
{
    // First outputs of the reference MT19937 for init_by_array({0x123, 0x234, 0x345, 0x456}).
    const uint32_t key[] = {0x123, 0x234, 0x345, 0x456};
    SeedRandom(key, 4);
    EXPECT_EQ(Random32(), 1067595299u);
    EXPECT_EQ(Random32(), 955945823u);
    EXPECT_EQ(Random32(), 477289528u);
}

}  // namespace

namespace {

// The library's start-up fills the table when the program is loaded, also
// when it links the static library.
TEST(Startup, UserTableIsFilledAtLoad)
{
    EXPECT_STREQ(get_user_name(1), "shell");
    EXPECT_STREQ(get_user_name(0), "root");
    EXPECT_EQ(is_valid_user("ressrv", ""), 1);
}

}  // namespace
