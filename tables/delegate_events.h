// The events of the SDK's delegate, each described once.
//
// OSTREL_DELEGATE_EVENTS(X) calls X once an event, in the order in which the Python class
// VONUCloudDelegate registers its methods:
//
//     X(member, python_name, policy, parameters, python_arguments)
//
//   member            the virtual operation of ostrel::vonu::VONUCloudDelegate; the two overloads
//                     of OnRemoteVideoReceived are two events, told apart by their parameters
//   python_name       the Python method the event calls (an identifier; #python_name is its text)
//   policy            what a Python class that leaves the method out, or whose method fails, gets
//                     (DelegateEventPolicy below, without its prefix)
//   parameters        the parameter list as the SDK passes it, names included, in parentheses:
//                     "void member parameters override" declares the operation, and
//                     "void (VONUCloudDelegate::*) parameters" is its member pointer type
//   python_arguments  the positional arguments the Python method receives, in parentheses, as
//                     expressions over the parameter names. Plain parameters pass as they are;
//                     the others through three helpers that each user of this column defines:
//                       message_bytes(p, n)  the n bytes at p, as bytes (none for a null p)
//                       quality_record(p)    a copy of the record at p; a default one for null
//                       quality_list(p, n)   copies of the n records at p, as a list
//
// This file is ours, not the SDK's: the SDK's headers declare the operations, this table says how
// each reaches Python, and the trampoline, its registration, the loopback SDK's injection and
// the C++ test delegates are all made from it.
#ifndef OSTREL_DELEGATE_EVENTS_H_
#define OSTREL_DELEGATE_EVENTS_H_

#include <cstddef>
#include <cstdint>

#include "vonu/ostrel_vonu_cloud.h"

// What happens to an event whose Python method is missing or fails.
enum class DelegateEventPolicy {
    // Missing: an error to the SDK naming the method. Failing: the error goes to the SDK.
    kRequired,
    // Missing: nothing happens. Failing: the error goes to the SDK.
    kSkippedWhenMissing,
    // Missing: nothing happens, and nothing is built. Failing: one line on standard error, and
    // the callback returns normally.
    kReportedOnStandardError,
};

// clang-format off
#define OSTREL_DELEGATE_EVENTS(X)                                                                  \
    X(OnError, OnError, kRequired,                                                                 \
      (ostrel::vonu::Error error),                                                                 \
      (error))                                                                                     \
    X(OnConnectionStateChanged, OnConnectionStateChanged, kRequired,                               \
      (ostrel::vonu::ConnectionState old_state, ostrel::vonu::ConnectionState new_state),          \
      (old_state, new_state))                                                                      \
    X(OnEnterRoom, OnEnterRoom, kRequired, (), ())                                                 \
    X(OnExitRoom, OnExitRoom, kRequired, (), ())                                                   \
    X(OnLocalAudioChannelCreated, OnLocalAudioChannelCreated, kRequired, (), ())                   \
    X(OnLocalAudioChannelDestroyed, OnLocalAudioChannelDestroyed, kRequired, (), ())               \
    X(OnLocalVideoChannelCreated, OnLocalVideoChannelCreated, kRequired,                           \
      (ostrel::vonu::StreamType stream_type),                                                      \
      (stream_type))                                                                               \
    X(OnLocalVideoChannelDestroyed, OnLocalVideoChannelDestroyed, kRequired,                       \
      (ostrel::vonu::StreamType stream_type),                                                      \
      (stream_type))                                                                               \
    X(OnRemoteUserEnterRoom, OnRemoteUserEnterRoom, kRequired,                                     \
      (const ostrel::vonu::UserInfo& info),                                                        \
      (info))                                                                                      \
    X(OnRemoteUserExitRoom, OnRemoteUserExitRoom, kRequired,                                       \
      (const ostrel::vonu::UserInfo& info, int reason),                                            \
      (info, reason))                                                                              \
    X(OnRemoteAudioAvailable, OnRemoteAudioAvailable, kRequired,                                   \
      (const char* user_id, bool available),                                                       \
      (user_id, available))                                                                        \
    X(OnRemoteVideoAvailable, OnRemoteVideoAvailable, kRequired,                                   \
      (const char* user_id, bool available, ostrel::vonu::StreamType type),                        \
      (user_id, available, type))                                                                  \
    X(OnRemoteAudioReceived, OnRemoteAudioReceived, kRequired,                                     \
      (const char* user_id, const ostrel::vonu::AudioFrame& frame),                                \
      (user_id, frame))                                                                            \
    X(OnRemoteMixedAudioReceived, OnRemoteMixedAudioReceived, kRequired,                           \
      (const ostrel::vonu::AudioFrame& frame),                                                     \
      (frame))                                                                                     \
    X(OnRemoteVideoReceived, OnRemoteVideoFrameReceived, kRequired,                                \
      (const char* user_id, ostrel::vonu::StreamType type, const ostrel::vonu::VideoFrame& frame), \
      (user_id, type, frame))                                                                      \
    X(OnRemoteVideoReceived, OnRemotePixelFrameReceived, kRequired,                                \
      (const char* user_id, ostrel::vonu::StreamType type, const ostrel::vonu::PixelFrame& frame), \
      (user_id, type, frame))                                                                      \
    X(OnRequestKeyFrame, OnRequestKeyFrame, kRequired,                                             \
      (ostrel::vonu::StreamType stream_type),                                                      \
      (stream_type))                                                                               \
    X(OnRequestChangeVideoEncodeBitrate, OnRequestChangeVideoEncodeBitrate, kRequired,             \
      (ostrel::vonu::StreamType stream_type, int bitrate_bps),                                     \
      (stream_type, bitrate_bps))                                                                  \
    X(OnSeiMessageReceived, OnSeiMessageReceived, kReportedOnStandardError,                        \
      (const char* user_id, ostrel::vonu::StreamType stream_type, int message_type,                \
       const char* message, size_t length),                                                        \
      (user_id, stream_type, message_type, message_bytes(message, length)))                        \
    X(OnReceiveCustomCmdMsg, OnReceiveCustomCmdMsg, kReportedOnStandardError,                      \
      (const char* user_id, int32_t cmd_id, uint32_t seq, const char* message, size_t length),     \
      (user_id, cmd_id, seq, message_bytes(message, length)))                                      \
    X(OnMissCustomCmdMsg, OnMissCustomCmdMsg, kSkippedWhenMissing,                                 \
      (const char* user_id, int32_t cmd_id, uint32_t error_code, uint32_t missed),                 \
      (user_id, cmd_id, error_code, missed))                                                       \
    X(OnNetworkQuality, OnNetworkQuality, kReportedOnStandardError,                                \
      (ostrel::vonu::NetworkQualityInfo* local_quality,                                            \
       ostrel::vonu::NetworkQualityInfo* remote_qualities, size_t remote_quality_count),           \
      (quality_record(local_quality), quality_list(remote_qualities, remote_quality_count)))
// clang-format on

#endif  // OSTREL_DELEGATE_EVENTS_H_
