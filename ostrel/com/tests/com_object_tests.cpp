// The COM object template: QueryInterface, the shared count of all faces, destruction exactly once
// at the last Release (also when threads release at once), and the module count trait.

#include <ostrel/com/ptr.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <thread>
#include <vector>

struct ITestFirst : public Ostrel::com::details::extends<ITestFirst, IUnknown> {
    virtual int STDMETHODCALLTYPE first() = 0;
};
__CRT_UUID_DECL(ITestFirst, 0x8e0f4c1a, 0x3b52, 0x4d7e, 0x9a, 0x61, 0x0c, 0x2b, 0x7d, 0x44, 0x15, 0x90)

struct ITestSecond : public Ostrel::com::details::extends<ITestSecond, IUnknown> {
    virtual int STDMETHODCALLTYPE second() = 0;
};
__CRT_UUID_DECL(ITestSecond, 0x8e0f4c1a, 0x3b52, 0x4d7e, 0x9a, 0x61, 0x0c, 0x2b, 0x7d, 0x44, 0x15, 0x91)

struct ITestOther : public Ostrel::com::details::extends<ITestOther, IUnknown> {};
__CRT_UUID_DECL(ITestOther, 0x8e0f4c1a, 0x3b52, 0x4d7e, 0x9a, 0x61, 0x0c, 0x2b, 0x7d, 0x44, 0x15, 0x92)

namespace {

std::atomic<int> destroyed{0};

class two_faces : public Ostrel::com::details::object<two_faces, ITestFirst, ITestSecond> {
public:
    explicit two_faces(int value) : value_(value) {}
    ~two_faces() override { destroyed.fetch_add(1); }
    int STDMETHODCALLTYPE first() override { return value_; }
    int STDMETHODCALLTYPE second() override { return -value_; }

    int value_;
};

LONG module_count_in_destructor = -1;

class counted : public Ostrel::com::details::object<counted, ITestFirst, Ostrel::com::increments_module_count> {
public:
    ~counted() override { module_count_in_destructor = Ostrel::com::module_count; }
    int STDMETHODCALLTYPE first() override { return 1; }
};

// The count of an object, read through an AddRef and Release pair.
template <class T>
ULONG count_of(T* object)
{
    object->AddRef();
    return object->Release();
}

TEST(ComObject, QueryInterfaceAnswersEachListedFace)
{
    auto object = Ostrel::com::make<two_faces>(7);
    ITestFirst* main = object.get();
    EXPECT_EQ(count_of(main), 1u);

    void* unknown = nullptr;
    void* first = nullptr;
    ASSERT_EQ(main->QueryInterface(__uuidof(IUnknown), &unknown), S_OK);
    ASSERT_EQ(main->QueryInterface(__uuidof(ITestFirst), &first), S_OK);
    EXPECT_EQ(unknown, static_cast<void*>(main));
    EXPECT_EQ(first, static_cast<void*>(main));
    EXPECT_EQ(count_of(main), 3u);

    void* second = nullptr;
    ASSERT_EQ(main->QueryInterface(__uuidof(ITestSecond), &second), S_OK);
    auto* face = static_cast<ITestSecond*>(second);
    EXPECT_NE(second, static_cast<void*>(main));
    EXPECT_EQ(face->second(), -7);
    // The further face shares the count and answers IUnknown with the main face.
    EXPECT_EQ(count_of(face), 4u);
    void* back = nullptr;
    ASSERT_EQ(face->QueryInterface(__uuidof(IUnknown), &back), S_OK);
    EXPECT_EQ(back, static_cast<void*>(main));

    static_cast<IUnknown*>(back)->Release();
    face->Release();
    static_cast<IUnknown*>(first)->Release();
    static_cast<IUnknown*>(unknown)->Release();
    EXPECT_EQ(count_of(main), 1u);
}

TEST(ComObject, QueryInterfaceRefusals)
{
    auto object = Ostrel::com::make<two_faces>(1);
    void* out = reinterpret_cast<void*>(0x1234);
    EXPECT_EQ(object->QueryInterface(__uuidof(ITestOther), &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    // An identifier that differs only in its last byte is another identifier.
    GUID almost = __uuidof(ITestFirst);
    almost.Data4[7] ^= 0x80;
    EXPECT_EQ(object->QueryInterface(almost, &out), E_NOINTERFACE);
    EXPECT_EQ(object->QueryInterface(__uuidof(ITestFirst), nullptr), E_POINTER);
    EXPECT_EQ(count_of(object.get()), 1u);
}

TEST(ComObject, LastReleaseDestroysOnce)
{
    destroyed = 0;
    auto* raw = new Ostrel::com::details::value<two_faces>(3);
    EXPECT_EQ(raw->AddRef(), 1u);  // a new object starts at 0
    EXPECT_EQ(raw->AddRef(), 2u);
    EXPECT_EQ(raw->Release(), 1u);
    EXPECT_EQ(destroyed.load(), 0);
    EXPECT_EQ(raw->Release(), 0u);
    EXPECT_EQ(destroyed.load(), 1);
}

TEST(ComObject, ConcurrentReleasesDestroyOnce)
{
    // Each round, every thread holds one reference and all release at once: exactly one of them
    // sees the count reach 0.
    constexpr int rounds = 500;
    constexpr int threads = 4;
    destroyed = 0;
    std::atomic<Ostrel::com::details::value<two_faces>*> current{nullptr};
    std::atomic<int> round_started{-1};
    std::atomic<int> released{0};
    std::vector<std::thread> releasers;
    for (int t = 0; t < threads; ++t)
        releasers.emplace_back([&] {
            for (int round = 0; round < rounds; ++round) {
                while (round_started.load() < round)
                    SwitchToThread();
                current.load()->Release();
                released.fetch_add(1);
            }
        });
    for (int round = 0; round < rounds; ++round) {
        auto* raw = new Ostrel::com::details::value<two_faces>(round);
        for (int t = 0; t < threads; ++t)
            raw->AddRef();
        current = raw;
        round_started = round;
        while (released.load() < (round + 1) * threads)
            SwitchToThread();
    }
    for (auto& t : releasers)
        t.join();
    EXPECT_EQ(destroyed.load(), rounds);
}

TEST(ComObject, CountFollowsTheMembers)
{
    // T's members first, the count after the last of them (in T's tail padding, when it fits).
    using value = Ostrel::com::details::value<two_faces>;
    value* raw = new value(5);
    raw->AddRef();
    auto* members_end = reinterpret_cast<std::byte*>(&static_cast<two_faces*>(raw)->value_) + sizeof(int);
    auto* count = reinterpret_cast<std::byte*>(static_cast<Ostrel::com::details::ref_count_base*>(raw));
    EXPECT_GE(count, members_end);
    raw->Release();
}

TEST(ComObject, ModuleCountTrait)
{
    const LONG before = Ostrel::com::module_count;
    {
        auto object = Ostrel::com::make<counted>();
        EXPECT_EQ(Ostrel::com::module_count, before + 1);
        auto plain = Ostrel::com::make<two_faces>(1);
        EXPECT_EQ(Ostrel::com::module_count, before + 1);
    }
    // Subtracted only after the destructor ran.
    EXPECT_EQ(module_count_in_destructor, before + 1);
    EXPECT_EQ(Ostrel::com::module_count, before);
}

} // namespace
