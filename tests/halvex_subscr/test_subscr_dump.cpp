// Dumps and reloads of the server tree: through the client over TCP, the
// CRC trailer, and file names kept inside the dump folder.
#include "subscr_fixture.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

using namespace ZYRK;
using namespace subscrtest;

namespace {

const HASH_TYPE_T kCheckHash = static_cast<HASH_TYPE_T>(1);

std::string ReadFile(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

void WriteFile(const std::string& path, const std::string& text)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << text;
}

bool Exists(const std::string& path)
{
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0;
}

class Dump : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* tmp = std::getenv("TMPDIR");
        std::string base = std::string(tmp && *tmp ? tmp : "/tmp") + "/halvex_subscr_XXXXXX";
        std::vector<char> name(base.begin(), base.end());
        name.push_back(0);
        ASSERT_NE(mkdtemp(name.data()), nullptr);
        top = name.data();
        folder = top + "/dumps";
        ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);

        tree.AddNode(".net", RES_TYPE_STRUCT);
        tree.AddNode(".net.LAN", RES_TYPE_STRUCT2);
        tree.AddValue(".net.LAN.address", CResourceValue("10.1.2.3"));
        tree.AddValue(".net.LAN.mtu", CResourceValue(1500, 100, 9000));
        tree.AddValue(".net.LAN.dhcp", CResourceValue(true));
        tree.AddValue(".net.gain", CResourceValue(-2.125e-7));
        tree.AddValue(".net.note", CResourceValue("tab\there\\back\nline \x01\xE9#"));
        tree.AddValue(".net.title", CResourceValue(L"Gr\u00FC\u00DFe \u20AC"));
        char blob[6] = {0, 1, '\t', '\n', char(0xFF), 7};
        tree.AddValue(".net.blob", CResourceValue(blob, 6, COPY_TYPE_COPY));
        tree.AddValue(".net.empty", CResourceValue(""));
        tree.SetDumpFolder(folder.c_str());
    }
    void TearDown() override
    {
        if (!top.empty()) std::system(("rm -rf '" + top + "'").c_str());
    }

    // The value at path as text for comparisons; "?" when it cannot be read.
    static std::string Text(CResourceTree& t, const char* path)
    {
        CResource* r = Open(t, path);
        if (!r) return "?";
        CResourceValue v;
        r->Get(v, nullptr);
        r->Close();
        std::string out = std::to_string(v.Type()) + ":";
        switch (v.Type()) {
        case VALUE_TYPE_BOOL: return out + (v.GetBool() ? "1" : "0");
        case VALUE_TYPE_INT32: return out + std::to_string(v.GetInt());
        case VALUE_TYPE_DOUBLE: {
            char d[40];
            std::snprintf(d, sizeof d, "%.17g", v.GetDouble());
            return out + d;
        }
        case VALUE_TYPE_ASCII: return out + v.GetAscii();
        case VALUE_TYPE_UNICODE: {
            std::wstring w = v.GetUnicode();
            for (wchar_t c : w) out += std::to_string(unsigned(c)) + ",";
            return out;
        }
        case VALUE_TYPE_TRANSPARENT: {
            char* data = nullptr;
            unsigned long size = 0, revision = 0;
            v.GetTransparent(&data, size, revision, COPY_TYPE_COPY);
            out += std::string(data ? data : "", data ? size : 0);
            std::free(data);
            return out;
        }
        default: return out;
        }
    }

    std::string top, folder;
    CServerResourceTree tree;
};

const char* const kValues[] = {".net.LAN.address", ".net.LAN.mtu", ".net.LAN.dhcp", ".net.gain",
                               ".net.note",        ".net.title",   ".net.blob",     ".net.empty"};

TEST_F(Dump, ReloadedIntoAFreshTreeOverTcpGivesTheSameValues)
{
    Server first(tree);
    ASSERT_NE(first.Port(), 0);
    CClientResourceTree client;
    ASSERT_EQ(client.Init("127.0.0.1", first.Port(), true), ERR_OK);
    CResource* mtu = Open(client, ".net.LAN.mtu");
    ASSERT_NE(mtu, nullptr);
    ASSERT_EQ(mtu->Set(CResourceValue(1280), RES_NOWAIT, 0, nullptr), ERR_OK);
    mtu->Close();
    CResource* root = client.OpenRoot();
    ASSERT_NE(root, nullptr);
    ASSERT_EQ(client.Dump(root, "cam.dump", nullptr, PATH_TYPE_ABSOLUTE, "CRC32", "before update", PERSISTENCE_ALL,
                          DEFAULT_ALL, nullptr, GID_FILTER_NONE, 0),
              ERR_OK);
    root->Close();
    const std::string file = folder + "/cam.dump";
    ASSERT_TRUE(Exists(file));
    EXPECT_FALSE(Exists(file + ".tmp"));
    // The trailer is what GetHashFunc finds and what the content hashes to.
    const std::string text = ReadFile(file);
    std::unique_ptr<CHashFunc> crc = CResourceTree::GetHashFunc(file.c_str());
    ASSERT_NE(crc, nullptr);
    EXPECT_STREQ(crc->Name(), "CRC32");
    const size_t trailer = text.rfind("# CRC32 ");
    ASSERT_NE(trailer, std::string::npos);
    crc->Reset();
    crc->Update(text.data(), trailer);
    EXPECT_EQ(text.substr(trailer), "# CRC32 " + crc->Digest() + "\n");

    CServerResourceTree fresh;
    fresh.SetDumpFolder(folder.c_str());
    Server second(fresh);
    ASSERT_NE(second.Port(), 0);
    CClientResourceTree client2;
    ASSERT_EQ(client2.Init("127.0.0.1", second.Port(), true), ERR_OK);
    CResource* root2 = client2.OpenRoot();
    ASSERT_NE(root2, nullptr);
    ASSERT_EQ(client2.Reload(root2, "cam.dump", kCheckHash, nullptr, INFO_TYPE_NONE, nullptr), ERR_OK);
    root2->Close();
    EXPECT_EQ(Text(fresh, ".net.LAN.mtu"), "2:1280");
    for (const char* p : kValues) {
        EXPECT_EQ(Text(fresh, p), Text(tree, p)) << p;
    }
    CResource* lan = Open(fresh, ".net.LAN");
    ASSERT_NE(lan, nullptr);
    EXPECT_EQ(lan->Type(), RES_TYPE_STRUCT2);
    lan->Close();

    // Reloading over existing nodes writes their values back.
    CResource* local = Open(fresh, ".net.LAN.mtu");
    ASSERT_EQ(local->Set(CResourceValue(9000), RES_NOWAIT, 0, nullptr), ERR_OK);
    local->Close();
    root2 = client2.OpenRoot();
    ASSERT_EQ(client2.Reload(root2, "cam.dump", kCheckHash, nullptr, INFO_TYPE_NONE, nullptr), ERR_OK);
    root2->Close();
    EXPECT_EQ(Text(fresh, ".net.LAN.mtu"), "2:1280");
}

TEST_F(Dump, CorruptedFileIsRefusedAndNothingChanges)
{
    CResource* net = Open(tree, ".net");
    ASSERT_EQ(tree.Dump(net, "net.dump", nullptr, PATH_TYPE_RELATIVE, nullptr, nullptr, PERSISTENCE_ALL, DEFAULT_ALL,
                        nullptr, GID_FILTER_NONE, 0),
              ERR_OK);
    const std::string file = folder + "/net.dump";
    std::string text = ReadFile(file);
    const size_t at = text.find("1500");
    ASSERT_NE(at, std::string::npos);
    CResource* mtu = Open(tree, ".net.LAN.mtu");
    ASSERT_EQ(mtu->Set(CResourceValue(1400), RES_NOWAIT, 0, nullptr), ERR_OK);

    text[at] = '9';  // 9500: still a well-formed line, only the CRC tells
    WriteFile(file, text);
    EXPECT_EQ(tree.Reload(net, "net.dump", kCheckHash, nullptr, INFO_TYPE_NONE, nullptr), ERR_BAD_DATA);
    EXPECT_EQ(Text(tree, ".net.LAN.mtu"), "2:1400");
    // Without the check the same file is taken (and its range still holds).
    EXPECT_EQ(tree.Reload(net, "net.dump", HASH_TYPE_NONE, nullptr, INFO_TYPE_NONE, nullptr), ERR_OUT_OF_RANGE);

    // A cut file and one without a header are refused as well.
    text[at] = '1';
    WriteFile(file, text.substr(0, text.size() / 2));
    EXPECT_EQ(tree.Reload(net, "net.dump", kCheckHash, nullptr, INFO_TYPE_NONE, nullptr), ERR_BAD_DATA);
    WriteFile(file, ".net.x\t0\t2\t00000000\t0\t0\t1\n# CRC32 00000000\n");
    EXPECT_EQ(tree.Reload(net, "net.dump", HASH_TYPE_NONE, nullptr, INFO_TYPE_NONE, nullptr), ERR_BAD_DATA);
    WriteFile(file, "# CRC32 00000000\n");  // the CRC of nothing, but no header
    EXPECT_EQ(tree.Reload(net, "net.dump", kCheckHash, nullptr, INFO_TYPE_NONE, nullptr), ERR_BAD_DATA);
    EXPECT_EQ(Text(tree, ".net.LAN.mtu"), "2:1400");
    // The intact file restores the dumped value.
    WriteFile(file, text);
    EXPECT_EQ(tree.Reload(net, "net.dump", kCheckHash, nullptr, INFO_TYPE_NONE, nullptr), ERR_OK);
    EXPECT_EQ(Text(tree, ".net.LAN.mtu"), "2:1500");
    mtu->Close();
    net->Close();
}

TEST_F(Dump, RelativeDumpReloadsBelowAnotherNode)
{
    CResource* lan = Open(tree, ".net.LAN");
    ASSERT_EQ(tree.Dump(lan, "lan.dump", nullptr, PATH_TYPE_RELATIVE, "crc32", nullptr, PERSISTENCE_ALL, DEFAULT_ALL,
                        nullptr, GID_FILTER_NONE, 0),
              ERR_OK);
    lan->Close();
    tree.AddNode(".copy", RES_TYPE_STRUCT);
    CResource* copy = Open(tree, ".copy");
    EXPECT_EQ(tree.Reload(copy, "lan.dump", kCheckHash, nullptr, INFO_TYPE_NONE, nullptr), ERR_OK);
    EXPECT_EQ(Text(tree, ".copy.mtu"), "2:1500");
    EXPECT_EQ(Text(tree, ".copy.address"), "4:10.1.2.3");

    // An absolute dump does not reach outside the node it is reloaded into.
    CResource* root = tree.OpenRoot();
    ASSERT_EQ(tree.Dump(root, "all.dump", nullptr, PATH_TYPE_ABSOLUTE, nullptr, nullptr, PERSISTENCE_ALL,
                        DEFAULT_ALL, nullptr, GID_FILTER_NONE, 0),
              ERR_OK);
    root->Close();
    EXPECT_EQ(tree.Reload(copy, "all.dump", kCheckHash, nullptr, INFO_TYPE_NONE, nullptr), ERR_BAD_DATA);
    copy->Close();
}

TEST_F(Dump, FileNamesStayInsideTheDumpFolder)
{
    Server server(tree);
    ASSERT_NE(server.Port(), 0);
    CClientResourceTree client;
    ASSERT_EQ(client.Init("127.0.0.1", server.Port(), true), ERR_OK);
    CResource* root = client.OpenRoot();
    ASSERT_NE(root, nullptr);
    const std::string outside = top + "/escaped.dump";
    for (const std::string& name : {std::string("../escaped.dump"), outside, std::string("a/../../escaped.dump"),
                                    std::string(""), std::string("./x"), std::string("sub/")}) {
        EXPECT_NE(client.Dump(root, name.c_str(), nullptr, PATH_TYPE_ABSOLUTE, nullptr, nullptr, PERSISTENCE_ALL,
                              DEFAULT_ALL, nullptr, GID_FILTER_NONE, 0),
                  ERR_OK)
            << name;
        EXPECT_NE(client.Reload(root, name.c_str(), kCheckHash, nullptr, INFO_TYPE_NONE, nullptr), ERR_OK) << name;
    }
    EXPECT_FALSE(Exists(outside));
    // A folder below the dump folder is fine when it exists.
    ASSERT_EQ(mkdir((folder + "/sub").c_str(), 0700), 0);
    EXPECT_EQ(client.Dump(root, "sub/x.dump", nullptr, PATH_TYPE_ABSOLUTE, nullptr, nullptr, PERSISTENCE_ALL,
                          DEFAULT_ALL, nullptr, GID_FILTER_NONE, 0),
              ERR_OK);
    EXPECT_TRUE(Exists(folder + "/sub/x.dump"));
    root->Close();

    // A dump of a set writes only its members' values (and the nodes above).
    CResource* mtu = Open(client, ".net.LAN.mtu");
    CResource* title = Open(client, ".net.title");
    ASSERT_TRUE(mtu && title);
    CResourceSet set;
    set.Add(mtu);
    set.Add(title);
    root = client.OpenRoot();
    EXPECT_EQ(client.Dump(root, "set.dump", &set, PATH_TYPE_ABSOLUTE, nullptr, nullptr, PERSISTENCE_ALL, DEFAULT_ALL,
                          nullptr, GID_FILTER_NONE, 0),
              ERR_OK);
    root->Close();
    set.RemoveAll();
    mtu->Close();
    title->Close();
    const std::string text = ReadFile(folder + "/set.dump");
    EXPECT_NE(text.find("\n.net.LAN.mtu\t0\t2\t"), std::string::npos) << text;
    EXPECT_NE(text.find("\n.net.title\t0\t7\t"), std::string::npos) << text;
    EXPECT_NE(text.find("\n.net.LAN\t6\t0\t"), std::string::npos) << text;
    EXPECT_EQ(text.find(".net.LAN.address"), std::string::npos) << text;
    EXPECT_EQ(text.find(".net.blob"), std::string::npos) << text;

    // Without a dump folder nothing is written at all.
    CServerResourceTree bare;
    CResource* r = bare.OpenRoot();
    EXPECT_EQ(bare.Dump(r, "x.dump", nullptr, PATH_TYPE_ABSOLUTE, nullptr, nullptr, PERSISTENCE_ALL, DEFAULT_ALL,
                        nullptr, GID_FILTER_NONE, 0),
              ERR_UNSUPPORTED);
    r->Close();
}

TEST_F(Dump, GetHashFuncReadsTheTrailer)
{
    const std::string plain = folder + "/plain";
    WriteFile(plain, "123456789");
    std::unique_ptr<CHashFunc> h = CResourceTree::GetHashFunc(plain.c_str());
    ASSERT_NE(h, nullptr);
    h->Reset();
    h->Update("123456789", 9);
    EXPECT_EQ(h->Digest(), "cbf43926");  // the CRC-32 check value
    const std::string other = folder + "/other";
    WriteFile(other, std::string(100, 'x') + "\n# CRC64 0123456789abcdef\n");
    EXPECT_EQ(CResourceTree::GetHashFunc(other.c_str()), nullptr);
    EXPECT_EQ(CResourceTree::GetHashFunc((folder + "/missing").c_str()), nullptr);
    EXPECT_EQ(CHashFunc::Create("md4"), nullptr);
}

}  // namespace
