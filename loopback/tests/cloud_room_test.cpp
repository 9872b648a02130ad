// Rooms: entering and leaving, membership events, audience, replacement, custom command
// messages, network quality and the test controls that act on members.
#include <string>
#include <vector>

#include "cloud_test_support.h"
#include "call_recorder.h"
#include "utf8.h"

namespace {

using namespace cloud_test;
using Lines = std::vector<std::string>;

TEST(CloudRoom, EnterRoomRefusals) {
    EventLog r;
    Cloud c(&r);
    EnterRoomParams p = params("u");
    p.room.sdk_app_id = 0;
    EXPECT_EQ(c->EnterRoom(p), ERR_INVALID_SDK_APP_ID);
    p = params("");
    EXPECT_EQ(c->EnterRoom(p), ERR_INVALID_USER_ID);
    p.room.user_id.SetValue(nullptr);
    EXPECT_EQ(c->EnterRoom(p), ERR_INVALID_USER_ID);
    p = params("u", "");
    EXPECT_EQ(c->EnterRoom(p), ERR_INVALID_ROOM_ID);
    p.room.room_id = 7;  // a numeric room is enough
    p.room.user_sig = "";
    EXPECT_EQ(c->EnterRoom(p), ERR_INVALID_USER_SIG);
    p = params("u");
    p.audio_obtain_params.output_channels = 0;
    EXPECT_EQ(c->EnterRoom(p), ERR_INVALID_PARAMETER);
    EXPECT_TRUE(idle());
    EXPECT_TRUE(r.events().empty());
    EXPECT_EQ(c->EnterRoom(params("u", "refusals")), 0);
    EXPECT_EQ(c->EnterRoom(params("u", "refusals")), ERR_INVALID_OPERATION);  // already entering
    EXPECT_EQ(c->ExitRoom(), 0);
    EXPECT_EQ(c->ExitRoom(), ERR_INVALID_OPERATION);
}

TEST(CloudRoom, MembersSeeEachOtherInOrder) {
    EventLog ra, rb;
    Cloud a(&ra), b(&rb);
    ASSERT_EQ(a->EnterRoom(params("alice", "order")), 0);
    ASSERT_EQ(a->CreateLocalAudioChannel(AudioEncodeParams()), 0);
    ASSERT_EQ(a->CreateLocalVideoChannel(STREAM_TYPE_VIDEO_AUX), 0);
    ASSERT_EQ(b->EnterRoom(params("bob", "order")), 0);
    ASSERT_TRUE(idle());
    EXPECT_EQ(rb.events(), (Lines{"OnConnectionStateChanged 0 2", "OnConnectionStateChanged 2 3", "OnEnterRoom",
                                  "OnRemoteUserEnterRoom alice", "OnRemoteAudioAvailable alice 1",
                                  "OnRemoteVideoAvailable alice 1 7"}));
    EXPECT_EQ(ra.events().back(), "OnRemoteUserEnterRoom bob");

    ra.clear();
    rb.clear();
    ASSERT_EQ(a->ExitRoom(), 0);
    ASSERT_TRUE(idle());
    EXPECT_EQ(ra.events(), (Lines{"OnLocalAudioChannelDestroyed", "OnLocalVideoChannelDestroyed 7",
                                  "OnConnectionStateChanged 3 1", "OnExitRoom"}));
    EXPECT_EQ(rb.events(), (Lines{"OnRemoteAudioAvailable alice 0", "OnRemoteVideoAvailable alice 0 7",
                                  "OnRemoteUserExitRoom alice 0"}));

    // The same instance enters again.
    ra.clear();
    ASSERT_EQ(a->EnterRoom(params("alice", "order")), 0);
    ASSERT_TRUE(idle());
    EXPECT_EQ(ra.events(), (Lines{"OnConnectionStateChanged 1 2", "OnConnectionStateChanged 2 3", "OnEnterRoom",
                                  "OnRemoteUserEnterRoom bob"}));
}

TEST(CloudRoom, RoomIdentity) {
    EventLog ra, rb, rc;
    Cloud a(&ra), b(&rb), c(&rc);
    EnterRoomParams pa = params("a", "");
    pa.room.room_id = 42;
    EnterRoomParams pb = params("b", "42");  // a text id is a different room from the number
    EnterRoomParams pc = params("c", "");
    pc.room.room_id = 42;
    pc.room.sdk_app_id = 2;  // another application
    ASSERT_EQ(a->EnterRoom(pa), 0);
    ASSERT_EQ(b->EnterRoom(pb), 0);
    ASSERT_EQ(c->EnterRoom(pc), 0);
    ASSERT_TRUE(idle());
    EXPECT_TRUE(ra.matching("OnRemoteUserEnterRoom").empty());
    EXPECT_TRUE(rb.matching("OnRemoteUserEnterRoom").empty());
    EXPECT_TRUE(rc.matching("OnRemoteUserEnterRoom").empty());
}

TEST(CloudRoom, AudienceIsNotAnnouncedAndCannotSend) {
    EventLog ra, rv;
    Cloud a(&ra), v(&rv);
    ASSERT_EQ(a->EnterRoom(params("anchor", "audience")), 0);
    EnterRoomParams p = params("viewer", "audience");
    p.role = VONU_ROLE_AUDIENCE;
    ASSERT_EQ(v->EnterRoom(p), 0);
    EXPECT_EQ(v->CreateLocalAudioChannel(AudioEncodeParams()), ERR_INVALID_OPERATION);
    EXPECT_EQ(v->CreateLocalVideoChannel(STREAM_TYPE_VIDEO_HIGH), ERR_INVALID_OPERATION);
    EXPECT_FALSE(v->SendCustomCmdMsg(1, "x", 1, true, true));
    EXPECT_TRUE(a->SendCustomCmdMsg(1, "hi", 2, true, true));
    ASSERT_EQ(v->ExitRoom(), 0);
    ASSERT_TRUE(idle());
    EXPECT_TRUE(ra.matching("OnRemoteUser").empty());
    EXPECT_TRUE(rv.has("OnRemoteUserEnterRoom anchor"));
    EXPECT_TRUE(rv.has("OnReceiveCustomCmdMsg anchor 1 1 hi"));
}

TEST(CloudRoom, SameUserIdReplacesOlderInstance) {
    EventLog r1, r2, rp;
    Cloud first(&r1), second(&r2), peer(&rp);
    ASSERT_EQ(peer->EnterRoom(params("peer", "replace")), 0);
    ASSERT_EQ(first->EnterRoom(params("dup", "replace")), 0);
    ASSERT_EQ(first->CreateLocalAudioChannel(AudioEncodeParams()), 0);
    ASSERT_TRUE(idle());
    r1.clear();
    rp.clear();
    ASSERT_EQ(second->EnterRoom(params("dup", "replace")), 0);
    ASSERT_TRUE(idle());
    EXPECT_EQ(r1.events(),
              (Lines{"OnError -3319", "OnLocalAudioChannelDestroyed", "OnConnectionStateChanged 3 1", "OnExitRoom"}));
    EXPECT_EQ(rp.events(),
              (Lines{"OnRemoteAudioAvailable dup 0", "OnRemoteUserExitRoom dup 3", "OnRemoteUserEnterRoom dup"}));
    EXPECT_EQ(first->ExitRoom(), ERR_INVALID_OPERATION);
    EXPECT_TRUE(r2.has("OnRemoteUserEnterRoom peer"));
}

TEST(CloudRoom, CustomCommandMessages) {
    EventLog ra, rb;
    Cloud a(&ra), b(&rb);
    EXPECT_FALSE(a->SendCustomCmdMsg(1, "x", 1, true, true));  // outside a room
    ASSERT_EQ(a->EnterRoom(params("alice", "cmd")), 0);
    ASSERT_EQ(b->EnterRoom(params("bob", "cmd")), 0);
    EXPECT_FALSE(a->SendCustomCmdMsg(0, "x", 1, true, true));
    EXPECT_FALSE(a->SendCustomCmdMsg(11, "x", 1, true, true));
    EXPECT_FALSE(a->SendCustomCmdMsg(0xFFFFFFFFu, "x", 1, true, true));
    EXPECT_FALSE(a->SendCustomCmdMsg(1, "", 0, true, true));
    EXPECT_FALSE(a->SendCustomCmdMsg(1, nullptr, 5, true, true));
    const std::string big(1001, 'b');
    EXPECT_FALSE(a->SendCustomCmdMsg(1, big.data(), big.size(), true, true));

    const std::string zeros("a\0b", 3);
    EXPECT_TRUE(a->SendCustomCmdMsg(1, zeros.data(), zeros.size(), false, false));
    EXPECT_TRUE(a->SendCustomCmdMsg(2, "two", 3, true, true));
    EXPECT_TRUE(a->SendCustomCmdMsg(1, "again", 5, true, true));
    EXPECT_EQ(ostrel_loopback_drop_messages("alice", 2), 1);
    EXPECT_TRUE(a->SendCustomCmdMsg(1, "lost1", 5, true, true));  // lost, though reported sent
    EXPECT_TRUE(a->SendCustomCmdMsg(1, "lost2", 5, true, true));
    EXPECT_TRUE(a->SendCustomCmdMsg(1, "after", 5, true, true));
    ASSERT_TRUE(idle());
    EXPECT_EQ(rb.matching("On"), (Lines{"OnConnectionStateChanged 0 2", "OnConnectionStateChanged 2 3", "OnEnterRoom",
                                        "OnRemoteUserEnterRoom alice", "OnReceiveCustomCmdMsg alice 1 1 " + zeros,
                                        "OnReceiveCustomCmdMsg alice 2 1 two", "OnReceiveCustomCmdMsg alice 1 2 again",
                                        "OnMissCustomCmdMsg alice 1 1 2", "OnReceiveCustomCmdMsg alice 1 5 after"}));
    EXPECT_TRUE(ra.matching("OnReceiveCustomCmdMsg").empty());  // no echo to the sender
}

TEST(CloudRoom, CustomCommandRateLimits) {
    EventLog ra, rb;
    Cloud a(&ra), b(&rb);
    ASSERT_EQ(a->EnterRoom(params("alice", "rate")), 0);
    ASSERT_EQ(b->EnterRoom(params("bob", "rate")), 0);
    int accepted = 0;
    for (int i = 0; i < 40; ++i) accepted += a->SendCustomCmdMsg(1, "m", 1, true, true);
    EXPECT_EQ(accepted, 30);  // 30 messages in any one second

    EventLog rc;
    Cloud c(&rc);
    ASSERT_EQ(c->EnterRoom(params("carol", "rate")), 0);
    const std::string kb(1000, 'k');
    accepted = 0;
    for (int i = 0; i < 10; ++i) accepted += c->SendCustomCmdMsg(2, kb.data(), kb.size(), true, true);
    EXPECT_EQ(accepted, 8);  // 8 KB in any one second
    EXPECT_TRUE(c->SendCustomCmdMsg(2, kb.data(), 192, true, true));
    EXPECT_FALSE(c->SendCustomCmdMsg(2, "x", 1, true, true));
}

TEST(CloudRoom, NetworkQualityReportsAndBitrateRequests) {
    QualityReports reports(20);
    EventLog ra, rb, rv;
    Cloud a(&ra), b(&rb), v(&rv);
    ASSERT_EQ(a->EnterRoom(params("alice", "quality")), 0);
    ASSERT_EQ(a->CreateLocalVideoChannel(STREAM_TYPE_VIDEO_HIGH), 0);
    ASSERT_EQ(b->EnterRoom(params("bob", "quality")), 0);
    EnterRoomParams pv = params("viewer", "quality");
    pv.role = VONU_ROLE_AUDIENCE;
    ASSERT_EQ(v->EnterRoom(pv), 0);
    ASSERT_TRUE(rb.wait_line("OnNetworkQuality bob:1 alice:1"));
    ASSERT_TRUE(rv.wait_line("OnNetworkQuality viewer:1 alice:1 bob:1"));

    VideoEncodeParams vp;
    vp.bitrate_bps = 1000000;
    a->SetVideoEncodeParam(STREAM_TYPE_VIDEO_HIGH, vp);
    EXPECT_EQ(ostrel_loopback_set_network_quality("alice", NETWORK_QUALITY_POOR), 1);
    EXPECT_EQ(ostrel_loopback_set_network_quality("alice", 99), -1);
    EXPECT_EQ(ostrel_loopback_set_network_quality("nobody", 2), 0);
    ASSERT_TRUE(ra.wait_line("OnRequestChangeVideoEncodeBitrate 2 500000"));
    ASSERT_TRUE(rb.wait_line("OnNetworkQuality bob:1 alice:3"));
}

TEST(CloudRoom, DisconnectKickAndErrors) {
    EventLog ra, rb;
    Cloud a(&ra), b(&rb);
    ASSERT_TRUE(enter_alice_and_bob(a, b, "controls"));
    ra.clear();
    EXPECT_EQ(ostrel_loopback_disconnect("alice", 20), 1);
    EXPECT_FALSE(a->SendCustomCmdMsg(1, "x", 1, true, true));  // no connection
    ASSERT_TRUE(ra.wait_line("OnConnectionStateChanged 2 3"));
    EXPECT_EQ(ra.events(),
              (Lines{"OnConnectionStateChanged 3 1", "OnConnectionStateChanged 1 2", "OnConnectionStateChanged 2 3"}));
    EXPECT_TRUE(a->SendCustomCmdMsg(1, "x", 1, true, true));

    EXPECT_EQ(ostrel_loopback_raise_error("alice", ERR_SERVICE_SUSPENDED), 1);
    ASSERT_TRUE(ra.wait_line("OnError -100013"));

    ASSERT_TRUE(idle());
    rb.clear();
    EXPECT_EQ(ostrel_loopback_kick("alice", 7), 1);
    ASSERT_TRUE(idle());
    EXPECT_TRUE(ra.has("OnError -205"));
    EXPECT_EQ(ra.events().back(), "OnExitRoom");
    EXPECT_EQ(rb.events(), (Lines{"OnRemoteUserExitRoom alice 7"}));
    EXPECT_EQ(a->ExitRoom(), ERR_INVALID_OPERATION);
    EXPECT_EQ(ostrel_loopback_kick("alice", 7), 0);
}

TEST(CloudRoom, SubscribeNeedsRoomAndUser) {
    EventLog r;
    Cloud c(&r);
    EXPECT_EQ(c->Subscribe("x", STREAM_TYPE_VIDEO_HIGH), ERR_INVALID_OPERATION);
    ASSERT_EQ(c->EnterRoom(params("me", "subs")), 0);
    EXPECT_EQ(c->Subscribe("", STREAM_TYPE_VIDEO_HIGH), ERR_INVALID_PARAMETER);
    EXPECT_EQ(c->Subscribe(nullptr, STREAM_TYPE_VIDEO_HIGH), ERR_INVALID_PARAMETER);
    EXPECT_EQ(c->Subscribe("later", static_cast<StreamType>(5)), ERR_INVALID_PARAMETER);
    EXPECT_EQ(c->Subscribe("later", STREAM_TYPE_VIDEO_LOW), 0);  // not arrived yet
    EXPECT_EQ(c->Unsubscribe("later", STREAM_TYPE_AUDIO), 0);
    EXPECT_EQ(c->Unsubscribe("", STREAM_TYPE_AUDIO), ERR_INVALID_PARAMETER);
}

// User ids reach every other member's callbacks as text: an id that is not UTF-8 is refused
// where it enters, whatever makes it ill-formed, and well-formed ones of every length pass.
TEST(CloudRoom, UserIdsMustBeUtf8) {
    const char* const bad[] = {
        "\xff\xfe\x80"
        "bot",               // bytes that never occur in UTF-8
        "a\x80",             // a continuation byte without a lead
        "\xc0\xaf",          // an overlong '/'
        "\xe0\x80\xaf",      // an overlong '/' in three bytes
        "\xed\xa0\x80",      // a surrogate, U+D800
        "\xf4\x90\x80\x80",  // above U+10FFFF
        "ok\xe2\x82",        // cut short by the end
        "\xe2\x82"
        "ok",  // cut short by the next character
    };
    for (const char* id : bad) {
        SCOPED_TRACE(id);
        EXPECT_FALSE(ostrel::loopback::valid_utf8(id));
    }
    const char* const good[] = {"plain",
                                "\xc2\x80",
                                "\xdf\xbf",
                                "\xe0\xa0\x80",
                                "\xed\x9f\xbf",
                                "\xee\x80\x80",
                                "\xf0\x90\x80\x80",
                                "\xf4\x8f\xbf\xbf",
                                "caf\xc3\xa9-\xf0\x9f\xa4\x96"};
    for (const char* id : good) {
        SCOPED_TRACE(id);
        EXPECT_TRUE(ostrel::loopback::valid_utf8(id));
    }

    EventLog rw, rb;
    Cloud watcher(&rw), bot(&rb);
    ASSERT_EQ(watcher->EnterRoom(params("watcher", "utf8")), 0);
    for (const char* id : bad) EXPECT_EQ(bot->EnterRoom(params(id, "utf8")), ERR_INVALID_USER_ID);
    EXPECT_EQ(watcher->Subscribe(bad[0], STREAM_TYPE_VIDEO_HIGH), ERR_INVALID_PARAMETER);
    EXPECT_EQ(watcher->Unsubscribe(bad[0], STREAM_TYPE_AUDIO), ERR_INVALID_PARAMETER);
    ASSERT_EQ(bot->EnterRoom(params(good[8], "utf8")), 0);
    EXPECT_EQ(watcher->Subscribe(good[8], STREAM_TYPE_VIDEO_HIGH), 0);
    ASSERT_TRUE(idle());
    EXPECT_EQ(rw.matching("OnRemoteUserEnterRoom"), Lines{std::string("OnRemoteUserEnterRoom ") + good[8]});
}

TEST(CloudRoom, InjectDeliversRawArguments) {
    EventLog r;
    Cloud c(&r);
    ASSERT_EQ(c->EnterRoom(params("target", "inject")), 0);
    ASSERT_TRUE(idle());
    r.clear();
    const ostrel_loopback_arg err[] = {{1, 12345, nullptr, 0, nullptr, 0}};
    EXPECT_EQ(ostrel_loopback_inject("target", 6, "OnError", err, 1), 1);
    const ostrel_loopback_arg avail[] = {{0, 0, nullptr, 0, nullptr, 0}, {1, 1, nullptr, 0, nullptr, 0}};
    EXPECT_EQ(ostrel_loopback_inject("target", 6, "OnRemoteAudioAvailable", avail, 2), 1);
    const ostrel_loopback_arg remotes[] = {{3, 2, "x", 1, nullptr, 0}, {3, 77, nullptr, 0, nullptr, 0}};
    const ostrel_loopback_arg quality[] = {{0, 0, nullptr, 0, nullptr, 0}, {4, 0, nullptr, 0, remotes, 2}};
    EXPECT_EQ(ostrel_loopback_inject(nullptr, 0, "OnNetworkQuality", quality, 2), ostrel_loopback_live_instances());
    const ostrel_loopback_arg msg[] = {{2, 0, "u", 1, nullptr, 0},
                                       {1, -5, nullptr, 0, nullptr, 0},
                                       {1, 9, nullptr, 0, nullptr, 0},
                                       {0, 0, nullptr, 0, nullptr, 0}};
    EXPECT_EQ(ostrel_loopback_inject("target", 6, "OnReceiveCustomCmdMsg", msg, 4), 1);
    const ostrel_loopback_arg frame[] = {
        {2, 0, "v", 1, nullptr, 0}, {1, 99, nullptr, 0, nullptr, 0}, {2, 0, "\x01\x02", 2, nullptr, 0}};
    EXPECT_EQ(ostrel_loopback_inject("target", 6, "OnRemotePixelFrameReceived", frame, 3), 1);
    // Unknown events and wrong arguments are refused.
    EXPECT_EQ(ostrel_loopback_inject("target", 6, "OnRemoteVideoReceived", frame, 3), -1);
    EXPECT_EQ(ostrel_loopback_inject("target", 6, "OnError", frame, 1), -2);
    EXPECT_EQ(ostrel_loopback_inject("target", 6, "OnError", err, 2), -2);
    const ostrel_loopback_arg too_big[] = {{1, 1LL << 40, nullptr, 0, nullptr, 0}};
    EXPECT_EQ(ostrel_loopback_inject("target", 6, "OnError", too_big, 1), -2);
    EXPECT_EQ(ostrel_loopback_inject("nobody", 6, "OnError", err, 1), 0);
    ASSERT_TRUE(idle());
    EXPECT_EQ(r.events(),
              (Lines{"OnError 12345", "OnRemoteAudioAvailable <null> 1", "OnNetworkQuality null x:2 <null>:77",
                     "OnReceiveCustomCmdMsg u -5 9 <null>", "OnRemotePixelFrameReceived v 99"}));
    ASSERT_EQ(r.pixels().size(), 1u);
    EXPECT_EQ(ostrel::loopback::frame_payload(r.pixels()[0]), (std::vector<uint8_t>{1, 2}));
}

TEST(CloudRoom, OperationsAreRecorded) {
    namespace rec = ostrel::loopback::call_recorder;
    EnterRoomParams ep = params("rec", "recorded");
    rec::clear();
    rec::set_enabled(true);
    VONUCloud* p = VONUCloud::Create(nullptr);
    p->EnterRoom(ep);
    p->Subscribe(nullptr, STREAM_TYPE_VIDEO_HIGH);
    p->SendCustomCmdMsg(0xFFFFFFFFu, "a\0b", 3, true, false);
    p->GetAudioFrame(nullptr);
    VONUCloud::Destroy(p);
    rec::set_enabled(false);
    const std::string dump = rec::dump();
    rec::clear();
    EXPECT_NE(dump.find("('Create', {'delegate': None})"), std::string::npos) << dump;
    EXPECT_NE(dump.find("('EnterRoom', {'params': {'room': {'sdk_app_id': 1400000001, 'user_id': b'rec', "
                        "'user_sig': b'sig', 'room_id': 0, 'str_room_id': b'recorded', 'custom_data': None, "
                        "'decryption_delegate': None, 'encryption_delegate': None}, 'scene': 0, 'role': 0, "
                        "'private_map_key': b'', 'audio_obtain_params': {'audio_obtain_method': 1, "
                        "'enable_remote_audio_mix': False, 'output_sample_rate': 16000, 'output_channels': 1, "
                        "'output_frame_length_ms': 20, 'output_audio_codec_type': 0}, "
                        "'use_pixel_frame_input': False, 'use_pixel_frame_output': False}})"),
              std::string::npos)
        << dump;
    EXPECT_NE(dump.find("('Subscribe', {'user_id': None, 'type': 2})"), std::string::npos);
    EXPECT_NE(dump.find("('SendCustomCmdMsg', {'cmd_id': 4294967295, 'message': b'a\\x00b', 'message_null': False, "
                        "'reliable': True, 'ordered': False})"),
              std::string::npos)
        << dump;
    EXPECT_NE(dump.find("('GetAudioFrame', {'frame': None})"), std::string::npos);
    EXPECT_NE(dump.find("('Destroy', {})"), std::string::npos);
    // Internal use of records is not recorded.
    EXPECT_EQ(dump.find("VonuString"), std::string::npos) << dump;
}

}  // namespace
