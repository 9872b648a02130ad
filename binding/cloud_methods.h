// The methods of the Python class VONUCloud, each described once.
//
// OSTREL_CLOUD_METHODS(X) calls X once a method, in the order in which the class registers them:
//
//     X(method, result, parameters, keywords, body)
//
//   method      the member function of VONUCloudWrapper, and the Python method of the same name
//               (an identifier; #method is its text)
//   result      what the method returns to Python: int (the SDK's result) or void (None)
//   parameters  the parameter list, names included, in parentheses, with the types as the wrapper
//               names them (its aliases of the SDK's records): "result method parameters"
//               declares the member function
//   keywords    the Python keyword name of each parameter, in order, as string literals in
//               parentheses; the registration checks that there is one a parameter
//   body        the method's one expression, over the parameter names and sdk(): the SDK
//               instance, taken for this one call when the expression reaches it (it raises
//               RuntimeError once the cloud has been released), and kept until the expression
//               ends. It is evaluated left to right, so a check written before sdk() runs
//               first.
//
// The wrapper's declarations and definitions and the class's registration are made from this
// table (cloud_wrapper.h, cloud_wrapper.cpp); the Python tests keep their own list of the names,
// to check it.
#ifndef OSTREL_CLOUD_METHODS_H_
#define OSTREL_CLOUD_METHODS_H_

// clang-format off
#define OSTREL_CLOUD_METHODS(X)                                                                    \
    X(EnterRoom, int, (const EnterRoomParams& params), ("params"),                                 \
      sdk()->EnterRoom(params))                                                                    \
    X(ExitRoom, int, (), (),                                                                       \
      sdk()->ExitRoom())                                                                           \
    X(Subscribe, int, (const std::string& user_id, StreamType type), ("user_id", "type"),          \
      sdk()->Subscribe(user_id.c_str(), type))                                                     \
    X(Unsubscribe, int, (const std::string& user_id, StreamType type), ("user_id", "type"),        \
      sdk()->Unsubscribe(user_id.c_str(), type))                                                   \
    /* The SDK replaces the frame's payload in place, which a view of it must not see. */          \
    X(GetAudioFrame, int, (AudioFrame* frame), ("frame"),                                          \
      (ostrel_binding::refuse_while_viewed(frame), sdk()->GetAudioFrame(frame)))                   \
    X(CreateLocalAudioChannel, int, (const AudioEncodeParams& params), ("params"),                 \
      sdk()->CreateLocalAudioChannel(params))                                                      \
    X(DestroyLocalAudioChannel, int, (), (),                                                       \
      sdk()->DestroyLocalAudioChannel())                                                           \
    X(SendAudioFrame, int, (const AudioFrame& frame), ("frame"),                                   \
      sdk()->SendAudioFrame(frame))                                                                \
    X(SendContinuousAudioFrame, int, (const AudioFrame& frame, bool clear_send_queue),             \
      ("frame", "clear_send_queue"),                                                               \
      sdk()->SendContinuousAudioFrame(frame, clear_send_queue))                                    \
    X(CreateLocalVideoChannel, int, (StreamType type), ("type"),                                   \
      sdk()->CreateLocalVideoChannel(type))                                                        \
    X(DestroyLocalVideoChannel, int, (StreamType type), ("type"),                                  \
      sdk()->DestroyLocalVideoChannel(type))                                                       \
    X(SendVideoFrame, int, (StreamType type, const VideoFrame& frame), ("type", "frame"),          \
      sdk()->SendVideoFrame(type, frame))                                                          \
    /* The SDK's SendVideoFrame for pixel frames. */                                               \
    X(SendPixelFrame, int, (StreamType type, const PixelFrame& frame), ("type", "frame"),          \
      sdk()->SendVideoFrame(type, frame))                                                          \
    X(SetVideoEncodeParam, void, (StreamType type, const VideoEncodeParams& param), ("type", "param"), \
      sdk()->SetVideoEncodeParam(type, param))                                                     \
    /* A payload goes to the SDK as the bytes object's own buffer and length (frame_payload.h). */ \
    X(SendSeiMessage, int, (int message_type, pybind11::bytes message), ("message_type", "message"), \
      sdk()->SendSeiMessage(message_type, ostrel_binding::payload_of(message).data(),              \
                            ostrel_binding::payload_of(message).size()))                           \
    /* The id goes as the unsigned 32-bit value with the same bits; the SDK's bool as 1 or 0. */   \
    X(SendCustomCmdMsg, int, (int32_t cmd_id, pybind11::bytes message, bool reliable, bool ordered), \
      ("cmd_id", "message", "reliable", "ordered"),                                                \
      sdk()->SendCustomCmdMsg(static_cast<uint32_t>(cmd_id), ostrel_binding::payload_of(message).data(), \
                              ostrel_binding::payload_of(message).size(), reliable, ordered) ? 1 : 0) \
    X(EnableVoiceActivityDetection, void, (const VADParams& params), ("params"),                   \
      sdk()->EnableVoiceActivityDetection(params))
// clang-format on

#endif  // OSTREL_CLOUD_METHODS_H_
