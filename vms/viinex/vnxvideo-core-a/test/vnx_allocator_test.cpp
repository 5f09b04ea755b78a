#include <tarn/support/vnxvideo/allocator.h>
#include <tarn/support/vnxvideo/sample.h>

#include <gtest/gtest.h>

#include <numeric>
#include <stdexcept>

#include <tarn/testing/log_capture.h>
#include <tarn/testing/vnxvideo_double.h>
#include <tarn/types/exceptions.h>

namespace Tarn { namespace Support { namespace {

using Testing::LogCapture__Clear;
using Testing::LogCapture__Count;
using Testing::LogCapture__Dump;
using Testing::LogCapture__Has;
using Testing::LogCapture__Records;
using Testing::VnxDouble__Count;
using Testing::VnxDouble__Reset;
using Testing::VnxDouble__SampleAllocator;
using Testing::VnxDouble__State;

class VnxAllocatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    VnxDouble__Reset();
    LogCapture__Clear();
  }
  void TearDown() override { EXPECT_TRUE(VnxDouble__State().errors_.empty()) << VnxDouble__State().errors_.front(); }

  // A 4x2 I420 picture in caller memory, wrapped without copying.
  vnx_sample_sp_t WrapPicture() {
    std::iota(picture_, picture_ + sizeof(picture_), uint8_t(1));
    int strides[3] = {4, 2, 2};
    uint8_t* planes[3] = {picture_, picture_ + 8, picture_ + 10};
    vnxvideo_raw_sample_t handle{nullptr};
    EXPECT_EQ(0, vnxvideo_raw_sample_wrap(EMF_I420, 4, 2, strides, planes, &handle));
    return VnxSample__MapHandleToPtr(handle);
  }

  static std::vector<uint8_t> Pixels(const vnx_sample_sp_t& aSample) {
    int format = 0, width = 0, height = 0, strides[3];
    uint8_t* planes[3];
    EXPECT_EQ(0, vnxvideo_raw_sample_get_data(VnxSample__MapPtrToHandle(aSample), &format, &width, &height,
                                              strides, planes));
    std::vector<uint8_t> pixels;
    const auto rows = Testing::VnxDouble__Planes(format, width, height);
    for (size_t i = 0; i < rows.size(); ++i) {
      for (int r = 0; r < rows[i].first; ++r) {
        pixels.insert(pixels.end(), planes[i] + r * strides[i], planes[i] + r * strides[i] + rows[i].second);
      }
    }
    return pixels;
  }

  uint8_t picture_[12];
};

TEST_F(VnxAllocatorTest, CreateShmKeepsTheAllocatorOpenForItsOwner) {
  vnx_allocator_sp_t allocator = VnxAllocator__CreateShm("cam-1", 64);
  ASSERT_TRUE(allocator);
  EXPECT_EQ("cam-1", VnxDouble__State().allocator_name_);
  EXPECT_EQ(64, VnxDouble__State().allocator_max_size_mb_);
  EXPECT_EQ(1, VnxDouble__State().live_allocators_) << "the scope has ended, the owner still holds it";
  allocator.reset();
  EXPECT_EQ(0, VnxDouble__State().live_allocators_);
  EXPECT_EQ(1u, VnxDouble__Count("vnxvideo_shm_allocator_free"));
}

TEST_F(VnxAllocatorTest, CreateShmFailuresThrowAndLeaveNothing) {
  struct row {
    const char* what_;
    const char* call_;  // call forced to fail, or null
    int answer_;
    bool skip_actions_;
    const char* line_;
  };
  const row rows[] = {
      {"library refuses", "vnxvideo_with_shm_allocator_str", -2, false,
       "fail: uncaught vnxvideo_with_shm_allocator_str (answer:-2)"},
      {"duplicate refused", "vnxvideo_shm_allocator_duplicate", -1, false,
       "fail: vnxvideo_with_shm_allocator_str gave no allocator (name:<cam-1>, rc:-1)"},
      {"action never ran", nullptr, 0, true,
       "fail: vnxvideo_with_shm_allocator_str gave no allocator (name:<cam-1>, rc:0)"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what_);
    VnxDouble__Reset();
    LogCapture__Clear();
    if (r.call_) VnxDouble__State().answers_[r.call_] = r.answer_;
    VnxDouble__State().skip_actions_ = r.skip_actions_;
    EXPECT_THROW(VnxAllocator__CreateShm("cam-1", 64), internal_error);
    EXPECT_TRUE(LogCapture__Has(1, r.line_, "VnxAllocator__CreateShm")) << LogCapture__Dump();
    EXPECT_EQ(1u, LogCapture__Records().size()) << LogCapture__Dump();
    EXPECT_EQ(0, VnxDouble__State().live_allocators_);
  }
}

TEST_F(VnxAllocatorTest, WithAnswersTheLibraryFirstThenTheScope) {
  vnx_allocator_sp_t allocator = VnxAllocator__CreateShm("cam-1", 8);
  struct row {
    int library_;
    int scope_;
    int expected_;
  };
  const row rows[] = {{0, 0, 0}, {0, 7, 7}, {0, -2, -2}, {-1, 0, -1}, {-2, 5, -2}};
  VnxDouble__State().run_action_on_failure_ = true;
  for (const row& r : rows) {
    SCOPED_TRACE(::testing::Message() << "library " << r.library_ << ", scope " << r.scope_);
    VnxDouble__State().answers_["vnxvideo_with_shm_allocator_ptr"] = r.library_;
    int runs = 0;
    std::string current;
    EXPECT_EQ(r.expected_, VnxAllocator__With(allocator, [&]() {
                ++runs;
                // The allocator is current inside the scope: a sample made
                // here lives in it.
                vnxvideo_raw_sample_t handle{nullptr};
                EXPECT_EQ(0, vnxvideo_raw_sample_allocate(EMF_GRAY, 2, 2, &handle));
                current = VnxDouble__SampleAllocator(handle.ptr);
                vnxvideo_raw_sample_free(handle);
                return r.scope_;
              }));
    EXPECT_EQ(1, runs);
    EXPECT_EQ("cam-1", current);
  }
  EXPECT_TRUE(LogCapture__Records().empty()) << LogCapture__Dump();
}

TEST_F(VnxAllocatorTest, ThrowingScopeGivesExternalApiAfterOneLine) {
  vnx_allocator_sp_t allocator = VnxAllocator__CreateShm("cam-1", 8);
  LogCapture__Clear();
  EXPECT_EQ(-3, VnxAllocator__With(allocator, []() -> int { throw std::runtime_error("boom"); }));
  EXPECT_TRUE(LogCapture__Has(1, "fail: exception <boom>", "VnxAllocator__CallNothrow")) << LogCapture__Dump();
  EXPECT_EQ(1u, LogCapture__Records().size());

  LogCapture__Clear();
  EXPECT_EQ(-3, VnxAllocator__With(allocator, []() -> int { throw 42; }));
  EXPECT_TRUE(LogCapture__Has(1, "fail: uncaught exception", "VnxAllocator__CallNothrow")) << LogCapture__Dump();
  EXPECT_EQ(1u, LogCapture__Records().size());
}

TEST_F(VnxAllocatorTest, SampleOwnersFreeExactlyOnce) {
  vnx_sample_sp_t first = WrapPicture();
  vnx_sample_sp_t second = first;
  vnx_object_sp_t third = second;
  first.reset();
  second.reset();
  EXPECT_EQ(0, VnxDouble__State().sample_frees_);
  EXPECT_EQ(1, VnxDouble__State().live_samples_);
  third.reset();
  EXPECT_EQ(1, VnxDouble__State().sample_frees_);
  EXPECT_EQ(1u, VnxDouble__Count("vnxvideo_raw_sample_free"));
  EXPECT_EQ(0, VnxDouble__State().live_samples_);
}

TEST_F(VnxAllocatorTest, NullHandleOwnerIsEmptyButStillReleased) {
  vnx_sample_sp_t owner = VnxSample__MapHandleToPtr(vnxvideo_raw_sample_t{nullptr});
  EXPECT_FALSE(owner);
  EXPECT_EQ(nullptr, VnxSample__MapPtrToHandle(owner).ptr);
  owner.reset();
  EXPECT_EQ(1u, VnxDouble__Count("vnxvideo_raw_sample_free"));
}

TEST_F(VnxAllocatorTest, DeepCopyIsIndependentOfTheSource) {
  vnx_allocator_sp_t allocator = VnxAllocator__CreateShm("cam-1", 8);
  vnx_sample_sp_t wrapper = WrapPicture();
  const std::vector<uint8_t> original = Pixels(wrapper);
  ASSERT_EQ(std::vector<uint8_t>(picture_, picture_ + 12), original);

  vnx_sample_sp_t copy = VnxAllocator__DeepCopySample(allocator, wrapper);
  ASSERT_TRUE(copy);
  EXPECT_NE(copy.get(), wrapper.get());
  EXPECT_EQ("cam-1", VnxDouble__SampleAllocator(copy.get()));

  wrapper.reset();
  std::fill(picture_, picture_ + sizeof(picture_), uint8_t(0xEE));
  EXPECT_EQ(original, Pixels(copy));
  copy.reset();
  EXPECT_EQ(0, VnxDouble__State().live_samples_);
}

TEST_F(VnxAllocatorTest, FailedCopyOrAllocationLeavesNoSampleBehind) {
  struct row {
    const char* what_;
    const char* call_;
    int answer_;
    bool allocate_;  // AllocSample rather than DeepCopySample
    const char* line_;
  };
  const row rows[] = {
      {"copy refused", "vnxvideo_raw_sample_copy", -2, false, "fail: vnxvideo_raw_sample_copy (answer:-2)"},
      // The library fails after the scope has made its copy: the copy goes.
      {"scope fails after copying", "vnxvideo_with_shm_allocator_ptr", -1, false,
       "fail: vnxvideo_raw_sample_copy (answer:-1)"},
      {"allocation refused", "vnxvideo_raw_sample_allocate", -2, true,
       "fail: vnxvideo_raw_sample_allocate (answer:-2)"},
      {"scope fails after allocating", "vnxvideo_with_shm_allocator_ptr", -3, true,
       "fail: vnxvideo_raw_sample_allocate (answer:-3)"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what_);
    VnxDouble__Reset();
    vnx_allocator_sp_t allocator = VnxAllocator__CreateShm("cam-1", 8);
    vnx_sample_sp_t wrapper = WrapPicture();
    LogCapture__Clear();
    VnxDouble__State().answers_[r.call_] = r.answer_;
    VnxDouble__State().run_action_on_failure_ = true;
    if (r.allocate_) {
      EXPECT_THROW(VnxAllocator__AllocSample(allocator, EMF_NV12, 4, 2), internal_error);
    } else {
      EXPECT_THROW(VnxAllocator__DeepCopySample(allocator, wrapper), internal_error);
    }
    EXPECT_TRUE(LogCapture__Has(1, r.line_)) << LogCapture__Dump();
    EXPECT_EQ(1u, LogCapture__Records().size()) << LogCapture__Dump();
    EXPECT_EQ(1, VnxDouble__State().live_samples_) << "only the wrapper is left";
  }
}

TEST_F(VnxAllocatorTest, DeepCopyOfNoSampleIsRefused) {
  vnx_allocator_sp_t allocator = VnxAllocator__CreateShm("cam-1", 8);
  EXPECT_THROW(VnxAllocator__DeepCopySample(allocator, vnx_sample_sp_t()), internal_error);
  EXPECT_TRUE(LogCapture__Has(1, "fail: vnxvideo_raw_sample_copy (answer:-2)")) << LogCapture__Dump();
  EXPECT_EQ(0u, VnxDouble__Count("vnxvideo_raw_sample_copy"));
}

TEST_F(VnxAllocatorTest, AllocSampleLivesInTheAllocator) {
  vnx_allocator_sp_t allocator = VnxAllocator__CreateShm("cam-2", 8);
  vnx_sample_sp_t sample = VnxAllocator__AllocSample(allocator, EMF_NV12, 320, 240);
  ASSERT_TRUE(sample);
  EXPECT_EQ("cam-2", VnxDouble__SampleAllocator(sample.get()));
  EXPECT_EQ(320u * 240u * 3u / 2u, Pixels(sample).size());
}

}}}  // namespace Tarn::Support::(anonymous)
