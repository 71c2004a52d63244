// The owner's bounds on a model's trigger in the one delivery path: the
// approval step's answers, the limit looked at before asking and counted
// after, and the owner's own fire, which is neither asked about nor counted.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

#include "delivery.h"
#include "net_util.h"
#include "store_env.h"
#include "wh_limit.h"

namespace {

using vdtest::receiver;

class ModelBounds : public StoreEnv {
 protected:
  nettest::allow_private_env allow_{"1"};
};

TEST_F(ModelBounds, AskedAfterTheLimitIsLookedAtCountedOnlyOnceApproved) {
  start_clear_of_utc_day_end();
  receiver rx;
  auto s = new_store();
  wh_hook &h = add_hook(s.get(), "ask", rx.url("/in"));
  h.confirm = true;
  wh_limit_set(&h, {1, 86400});
  char err[WH_ERR_CAP];
  ASSERT_EQ(wh_store_save(s.get(), err, sizeof err), 0) << err;

  const std::string unconfirmed =
      "this hook needs the owner's confirmation, which this client cannot ask for";
  struct {
    bool bounded;
    std::optional<wh_approval> answer;  // none: the caller cannot ask
    wh_delivery_status status;
    bool asked;
    size_t sent;
    int counted, logged;
    std::string error;  // the newest log entry's
  } steps[] = {
      {true, WH_APPROVAL_PENDING, WH_DELIVERY_AWAITING, true, 0, 0, 0, ""},
      {true, WH_APPROVAL_DECLINED, WH_DELIVERY_DECLINED, true, 0, 0, 1, "declined by the owner"},
      {true, WH_APPROVAL_NOT_GIVEN, WH_DELIVERY_UNCONFIRMED, true, 0, 0, 2, "no answer came"},
      {true, WH_APPROVAL_UNAVAILABLE, WH_DELIVERY_UNCONFIRMED, true, 0, 0, 3, unconfirmed},
      // The same refusal again is not logged again.
      {true, std::nullopt, WH_DELIVERY_UNCONFIRMED, false, 0, 0, 3, unconfirmed},
      {true, WH_APPROVAL_GIVEN, WH_DELIVERY_SENT, true, 1, 1, 4, ""},
      // The limit is reached: nobody is asked.
      {true, WH_APPROVAL_GIVEN, WH_DELIVERY_LIMITED, false, 1, 1, 5,
       "the limit of 1 trigger per day is reached; the next trigger is allowed at " +
           next_utc_midnight()},
      {false, std::nullopt, WH_DELIVERY_SENT, false, 2, 1, 6, ""},
  };
  int step = 0;
  for (const auto &st : steps) {
    SCOPED_TRACE("step " + std::to_string(++step));
    std::string asked;  // the question as the person is shown it
    wh_delivery_approve approve;
    if (st.answer)
      approve = [&](const wh_approval_question &q, char *why) {
        asked = std::string(q.name) + " " +
                std::string(static_cast<const char *>(q.payload), q.payload_len) + " " + q.query;
        snprintf(why, WH_ERR_CAP, "no answer came");
        return *st.answer;
      };
    auto d = std::make_unique<wh_delivery>();
    EXPECT_EQ(wh_deliver({"ask", nullptr, 0, "", true, st.bounded, approve}, d.get(),
                         [](const wh_delivery &) {}),
              st.status)
        << d->error;
    EXPECT_EQ(asked, st.asked ? "ask {} " : "");
    EXPECT_EQ(rx.wait_requests(st.sent), st.sent);
    auto now = stored();
    EXPECT_EQ(now->hooks[0].window_count, st.counted);
    ASSERT_EQ(now->log_count, st.logged);
    EXPECT_EQ(now->log[0].error, st.error);
    EXPECT_EQ(std::string(d->error).substr(0, st.error.size()),
              st.status == WH_DELIVERY_SENT ? "" : st.error);
  }
}

// The person may answer minutes later: what is sent is the hook the owner
// keeps by then, and nothing when it was deleted meanwhile.
TEST_F(ModelBounds, AnApprovedTriggerSendsTheHookAsStoredAfterTheAnswer) {
  receiver rx;
  auto s = new_store();
  add_hook(s.get(), "ask", rx.url("/before")).confirm = true;
  char err[WH_ERR_CAP];
  ASSERT_EQ(wh_store_save(s.get(), err, sizeof err), 0) << err;
  struct {
    const char *edit;  // the hook's URL path once answered; null: deleted
    wh_delivery_status status;
  } cases[] = {{"/after", WH_DELIVERY_SENT}, {nullptr, WH_DELIVERY_NO_HOOK}};
  for (const auto &c : cases) {
    auto approve = [&](const wh_approval_question &, char *) {
      auto now = stored();
      if (c.edit)
        wh_field_copy(now->hooks[0].url, rx.url(c.edit).c_str());
      else
        now->hook_count = 0;
      EXPECT_EQ(wh_store_save(now.get(), err, sizeof err), 0) << err;
      return WH_APPROVAL_GIVEN;
    };
    auto d = std::make_unique<wh_delivery>();
    EXPECT_EQ(wh_deliver({"ask", nullptr, 0, "", false, true, approve}, d.get(),
                         [](const wh_delivery &) {}),
              c.status);
  }
  ASSERT_EQ(rx.wait_requests(1), 1u);
  EXPECT_EQ(rx.requests()[0].target, "/after");
}

}  // namespace
