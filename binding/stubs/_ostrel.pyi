# Written by binding/stubs/make_stubs.py from the built module and binding/stubs/_ostrel.curated.pyi;
# change those, not this file. A member under a "bound as:" comment is curated: the comment is
# the signature that the module registers, the member what a Python program sees.
"""
VONU Ostrel Python API (bind with C++ API by pybind11)
"""
from __future__ import annotations
import typing
class AudioCodecType:
    """
    Members:
    
      AUDIO_CODEC_TYPE_PCM
    
      AUDIO_CODEC_TYPE_OPUS
    
      AUDIO_CODEC_TYPE_AAC
    """
    AUDIO_CODEC_TYPE_AAC: typing.ClassVar[AudioCodecType]  # value = <AudioCodecType.AUDIO_CODEC_TYPE_AAC: 2>
    AUDIO_CODEC_TYPE_OPUS: typing.ClassVar[AudioCodecType]  # value = <AudioCodecType.AUDIO_CODEC_TYPE_OPUS: 1>
    AUDIO_CODEC_TYPE_PCM: typing.ClassVar[AudioCodecType]  # value = <AudioCodecType.AUDIO_CODEC_TYPE_PCM: 0>
    __members__: typing.ClassVar[dict[str, AudioCodecType]]  # value = {'AUDIO_CODEC_TYPE_PCM': <AudioCodecType.AUDIO_CODEC_TYPE_PCM: 0>, 'AUDIO_CODEC_TYPE_OPUS': <AudioCodecType.AUDIO_CODEC_TYPE_OPUS: 1>, 'AUDIO_CODEC_TYPE_AAC': <AudioCodecType.AUDIO_CODEC_TYPE_AAC: 2>}
    def __eq__(self, other: typing.Any) -> bool:
        ...
    def __getstate__(self) -> int:
        ...
    def __hash__(self) -> int:
        ...
    def __index__(self) -> int:
        ...
    def __init__(self, value: typing.SupportsIndex) -> None:
        ...
    def __int__(self) -> int:
        ...
    def __ne__(self, other: typing.Any) -> bool:
        ...
    def __repr__(self) -> str:
        ...
    def __setstate__(self, state: typing.SupportsIndex) -> None:
        ...
    def __str__(self) -> str:
        ...
    @property
    def name(self) -> str:
        ...
    @property
    def value(self) -> int:
        ...
class AudioEncodeParams:
    need_encode: bool
    def __init__(self) -> None:
        ...
    @property
    def bitrate_bps(self) -> int:
        ...
    @bitrate_bps.setter
    def bitrate_bps(self, arg0: typing.SupportsIndex) -> None:
        ...
    @property
    def channels(self) -> int:
        ...
    @channels.setter
    def channels(self, arg0: typing.SupportsIndex) -> None:
        ...
    @property
    def frame_length_ms(self) -> int:
        ...
    @frame_length_ms.setter
    def frame_length_ms(self, arg0: typing.SupportsIndex) -> None:
        ...
    @property
    def sample_rate(self) -> int:
        ...
    @sample_rate.setter
    def sample_rate(self, arg0: typing.SupportsIndex) -> None:
        ...
class AudioFrame:
    codec: AudioCodecType
    has_voice: bool
    def SetData(self, arg0: bytes) -> None:
        ...
    def SetExtraData(self, arg0: bytes) -> None:
        ...
    def __init__(self) -> None:
        ...
    @property
    def bits_per_sample(self) -> int:
        ...
    @bits_per_sample.setter
    def bits_per_sample(self, arg0: typing.SupportsIndex) -> None:
        ...
    @property
    def channels(self) -> int:
        ...
    @channels.setter
    def channels(self, arg0: typing.SupportsIndex) -> None:
        ...
    @property
    def data(self) -> bytes:
        ...
    @property
    def pts(self) -> int:
        ...
    @pts.setter
    def pts(self, arg0: typing.SupportsIndex) -> None:
        ...
    @property
    def sample_rate(self) -> int:
        ...
    @sample_rate.setter
    def sample_rate(self, arg0: typing.SupportsIndex) -> None:
        ...
    @property
    def size(self) -> int:
        ...
    # The payload, read-only and without a copy; SetData, SetExtraData and GetAudioFrame into the
    # frame raise BufferError while a view is exported.
    def __buffer__(self, flags: int, /) -> memoryview: ...
class AudioObtainMethod:
    """
    Members:
    
      AUDIO_OBTAIN_METHOD_GET
    
      AUDIO_OBTAIN_METHOD_CALLBACK
    """
    AUDIO_OBTAIN_METHOD_CALLBACK: typing.ClassVar[AudioObtainMethod]  # value = <AudioObtainMethod.AUDIO_OBTAIN_METHOD_CALLBACK: 1>
    AUDIO_OBTAIN_METHOD_GET: typing.ClassVar[AudioObtainMethod]  # value = <AudioObtainMethod.AUDIO_OBTAIN_METHOD_GET: 0>
    __members__: typing.ClassVar[dict[str, AudioObtainMethod]]  # value = {'AUDIO_OBTAIN_METHOD_GET': <AudioObtainMethod.AUDIO_OBTAIN_METHOD_GET: 0>, 'AUDIO_OBTAIN_METHOD_CALLBACK': <AudioObtainMethod.AUDIO_OBTAIN_METHOD_CALLBACK: 1>}
    def __eq__(self, other: typing.Any) -> bool:
        ...
    def __getstate__(self) -> int:
        ...
    def __hash__(self) -> int:
        ...
    def __index__(self) -> int:
        ...
    def __init__(self, value: typing.SupportsIndex) -> None:
        ...
    def __int__(self) -> int:
        ...
    def __ne__(self, other: typing.Any) -> bool:
        ...
    def __repr__(self) -> str:
        ...
    def __setstate__(self, state: typing.SupportsIndex) -> None:
        ...
    def __str__(self) -> str:
        ...
    @property
    def name(self) -> str:
        ...
    @property
    def value(self) -> int:
        ...
class AudioObtainParams:
    audio_obtain_method: AudioObtainMethod
    enable_remote_audio_mix: bool
    output_audio_codec_type: AudioCodecType
    def __init__(self) -> None:
        ...
    @property
    def output_channels(self) -> int:
        ...
    @output_channels.setter
    def output_channels(self, arg0: typing.SupportsIndex) -> None:
        ...
    @property
    def output_frame_length_ms(self) -> int:
        ...
    @output_frame_length_ms.setter
    def output_frame_length_ms(self, arg0: typing.SupportsIndex) -> None:
        ...
    @property
    def output_sample_rate(self) -> int:
        ...
    @output_sample_rate.setter
    def output_sample_rate(self, arg0: typing.SupportsIndex) -> None:
        ...
class ConnectionState:
    """
    Members:
    
      CONNECTION_STATE_INIT
    
      CONNECTION_STATE_DISCONNECTED
    
      CONNECTION_STATE_CONNECTING
    
      CONNECTION_STATE_CONNECTED
    """
    CONNECTION_STATE_CONNECTED: typing.ClassVar[ConnectionState]  # value = <ConnectionState.CONNECTION_STATE_CONNECTED: 3>
    CONNECTION_STATE_CONNECTING: typing.ClassVar[ConnectionState]  # value = <ConnectionState.CONNECTION_STATE_CONNECTING: 2>
    CONNECTION_STATE_DISCONNECTED: typing.ClassVar[ConnectionState]  # value = <ConnectionState.CONNECTION_STATE_DISCONNECTED: 1>
    CONNECTION_STATE_INIT: typing.ClassVar[ConnectionState]  # value = <ConnectionState.CONNECTION_STATE_INIT: 0>
    __members__: typing.ClassVar[dict[str, ConnectionState]]  # value = {'CONNECTION_STATE_INIT': <ConnectionState.CONNECTION_STATE_INIT: 0>, 'CONNECTION_STATE_DISCONNECTED': <ConnectionState.CONNECTION_STATE_DISCONNECTED: 1>, 'CONNECTION_STATE_CONNECTING': <ConnectionState.CONNECTION_STATE_CONNECTING: 2>, 'CONNECTION_STATE_CONNECTED': <ConnectionState.CONNECTION_STATE_CONNECTED: 3>}
    def __eq__(self, other: typing.Any) -> bool:
        ...
    def __getstate__(self) -> int:
        ...
    def __hash__(self) -> int:
        ...
    def __index__(self) -> int:
        ...
    def __init__(self, value: typing.SupportsIndex) -> None:
        ...
    def __int__(self) -> int:
        ...
    def __ne__(self, other: typing.Any) -> bool:
        ...
    def __repr__(self) -> str:
        ...
    def __setstate__(self, state: typing.SupportsIndex) -> None:
        ...
    def __str__(self) -> str:
        ...
    @property
    def name(self) -> str:
        ...
    @property
    def value(self) -> int:
        ...
class EnterRoomParams:
    audio_obtain_params: AudioObtainParams
    private_map_key: VonuString
    role: VONURole
    room: RoomParams
    scene: VONUScene
    use_pixel_frame_input: bool
    use_pixel_frame_output: bool
    def __init__(self) -> None:
        ...
class Error:
    """
    Members:
    
      ERR_OK
    
      ERR_FAILED
    
      ERR_INVALID_PARAMETER
    
      ERR_INVALID_OPERATION
    
      ERR_NOT_SUPPORTED
    
      ERR_REQUEST_SERVER_TIMEOUT
    
      ERR_SERVER_PROCESS_FAILED
    
      ERR_READ_TRY_AGAIN
    
      ERR_NETWORK_UNREACHABLE
    
      ERR_ENTER_ROOM_FAILED
    
      ERR_INVALID_SDK_APP_ID
    
      ERR_INVALID_ROOM_ID
    
      ERR_INVALID_USER_ID
    
      ERR_INVALID_USER_SIG
    
      ERR_SERVICE_SUSPENDED
    
      ERR_BANNED_BY_SERVER
    """
    ERR_BANNED_BY_SERVER: typing.ClassVar[Error]  # value = <Error.ERR_BANNED_BY_SERVER: -205>
    ERR_ENTER_ROOM_FAILED: typing.ClassVar[Error]  # value = <Error.ERR_ENTER_ROOM_FAILED: -3301>
    ERR_FAILED: typing.ClassVar[Error]  # value = <Error.ERR_FAILED: -1>
    ERR_INVALID_OPERATION: typing.ClassVar[Error]  # value = <Error.ERR_INVALID_OPERATION: -3>
    ERR_INVALID_PARAMETER: typing.ClassVar[Error]  # value = <Error.ERR_INVALID_PARAMETER: -2>
    ERR_INVALID_ROOM_ID: typing.ClassVar[Error]  # value = <Error.ERR_INVALID_ROOM_ID: -3318>
    ERR_INVALID_SDK_APP_ID: typing.ClassVar[Error]  # value = <Error.ERR_INVALID_SDK_APP_ID: -3317>
    ERR_INVALID_USER_ID: typing.ClassVar[Error]  # value = <Error.ERR_INVALID_USER_ID: -3319>
    ERR_INVALID_USER_SIG: typing.ClassVar[Error]  # value = <Error.ERR_INVALID_USER_SIG: -3320>
    ERR_NETWORK_UNREACHABLE: typing.ClassVar[Error]  # value = <Error.ERR_NETWORK_UNREACHABLE: -103>
    ERR_NOT_SUPPORTED: typing.ClassVar[Error]  # value = <Error.ERR_NOT_SUPPORTED: -4>
    ERR_OK: typing.ClassVar[Error]  # value = <Error.ERR_OK: 0>
    ERR_READ_TRY_AGAIN: typing.ClassVar[Error]  # value = <Error.ERR_READ_TRY_AGAIN: -102>
    ERR_REQUEST_SERVER_TIMEOUT: typing.ClassVar[Error]  # value = <Error.ERR_REQUEST_SERVER_TIMEOUT: -6>
    ERR_SERVER_PROCESS_FAILED: typing.ClassVar[Error]  # value = <Error.ERR_SERVER_PROCESS_FAILED: -7>
    ERR_SERVICE_SUSPENDED: typing.ClassVar[Error]  # value = <Error.ERR_SERVICE_SUSPENDED: -100013>
    __members__: typing.ClassVar[dict[str, Error]]  # value = {'ERR_OK': <Error.ERR_OK: 0>, 'ERR_FAILED': <Error.ERR_FAILED: -1>, 'ERR_INVALID_PARAMETER': <Error.ERR_INVALID_PARAMETER: -2>, 'ERR_INVALID_OPERATION': <Error.ERR_INVALID_OPERATION: -3>, 'ERR_NOT_SUPPORTED': <Error.ERR_NOT_SUPPORTED: -4>, 'ERR_REQUEST_SERVER_TIMEOUT': <Error.ERR_REQUEST_SERVER_TIMEOUT: -6>, 'ERR_SERVER_PROCESS_FAILED': <Error.ERR_SERVER_PROCESS_FAILED: -7>, 'ERR_READ_TRY_AGAIN': <Error.ERR_READ_TRY_AGAIN: -102>, 'ERR_NETWORK_UNREACHABLE': <Error.ERR_NETWORK_UNREACHABLE: -103>, 'ERR_ENTER_ROOM_FAILED': <Error.ERR_ENTER_ROOM_FAILED: -3301>, 'ERR_INVALID_SDK_APP_ID': <Error.ERR_INVALID_SDK_APP_ID: -3317>, 'ERR_INVALID_ROOM_ID': <Error.ERR_INVALID_ROOM_ID: -3318>, 'ERR_INVALID_USER_ID': <Error.ERR_INVALID_USER_ID: -3319>, 'ERR_INVALID_USER_SIG': <Error.ERR_INVALID_USER_SIG: -3320>, 'ERR_SERVICE_SUSPENDED': <Error.ERR_SERVICE_SUSPENDED: -100013>, 'ERR_BANNED_BY_SERVER': <Error.ERR_BANNED_BY_SERVER: -205>}
    def __eq__(self, other: typing.Any) -> bool:
        ...
    def __getstate__(self) -> int:
        ...
    def __hash__(self) -> int:
        ...
    def __index__(self) -> int:
        ...
    def __init__(self, value: typing.SupportsIndex) -> None:
        ...
    def __int__(self) -> int:
        ...
    def __ne__(self, other: typing.Any) -> bool:
        ...
    def __repr__(self) -> str:
        ...
    def __setstate__(self, state: typing.SupportsIndex) -> None:
        ...
    def __str__(self) -> str:
        ...
    @property
    def name(self) -> str:
        ...
    @property
    def value(self) -> int:
        ...
class EventQueue:
    """
    Events of clouds with a QueuedDelegate, waiting in native memory for one thread to take them
    """
    def __bool__(self) -> bool:
        """
        True while events wait.
        """
    def __init__(self) -> None:
        ...
    def fileno(self) -> int:
        """
        The file descriptor that is readable while events wait.
        """
    # Each event as (key, name, args, time): the key of its QueuedDelegate, the name of the
    # delegate method, the arguments that method would receive, and the time of the SDK's call.
    # bound as: def take(self, now: typing.SupportsFloat | typing.SupportsIndex, real_time: bool = True) -> list
    def take(self, now: float, real_time: bool = True) -> list[tuple[int, str, tuple[typing.Any, ...], float]]: ...
    @property
    def frames_lost(self) -> int:
        """
        Frame events its delegates did not queue: their frame_bytes_limit was reached.
        """
class NetworkQuality:
    """
    Members:
    
      NETWORK_QUALITY_UNKNOWN
    
      NETWORK_QUALITY_EXCELLENT
    
      NETWORK_QUALITY_GOOD
    
      NETWORK_QUALITY_POOR
    
      NETWORK_QUALITY_BAD
    
      NETWORK_QUALITY_VERY_BAD
    
      NETWORK_QUALITY_DOWN
    """
    NETWORK_QUALITY_BAD: typing.ClassVar[NetworkQuality]  # value = <NetworkQuality.NETWORK_QUALITY_BAD: 4>
    NETWORK_QUALITY_DOWN: typing.ClassVar[NetworkQuality]  # value = <NetworkQuality.NETWORK_QUALITY_DOWN: 6>
    NETWORK_QUALITY_EXCELLENT: typing.ClassVar[NetworkQuality]  # value = <NetworkQuality.NETWORK_QUALITY_EXCELLENT: 1>
    NETWORK_QUALITY_GOOD: typing.ClassVar[NetworkQuality]  # value = <NetworkQuality.NETWORK_QUALITY_GOOD: 2>
    NETWORK_QUALITY_POOR: typing.ClassVar[NetworkQuality]  # value = <NetworkQuality.NETWORK_QUALITY_POOR: 3>
    NETWORK_QUALITY_UNKNOWN: typing.ClassVar[NetworkQuality]  # value = <NetworkQuality.NETWORK_QUALITY_UNKNOWN: 0>
    NETWORK_QUALITY_VERY_BAD: typing.ClassVar[NetworkQuality]  # value = <NetworkQuality.NETWORK_QUALITY_VERY_BAD: 5>
    __members__: typing.ClassVar[dict[str, NetworkQuality]]  # value = {'NETWORK_QUALITY_UNKNOWN': <NetworkQuality.NETWORK_QUALITY_UNKNOWN: 0>, 'NETWORK_QUALITY_EXCELLENT': <NetworkQuality.NETWORK_QUALITY_EXCELLENT: 1>, 'NETWORK_QUALITY_GOOD': <NetworkQuality.NETWORK_QUALITY_GOOD: 2>, 'NETWORK_QUALITY_POOR': <NetworkQuality.NETWORK_QUALITY_POOR: 3>, 'NETWORK_QUALITY_BAD': <NetworkQuality.NETWORK_QUALITY_BAD: 4>, 'NETWORK_QUALITY_VERY_BAD': <NetworkQuality.NETWORK_QUALITY_VERY_BAD: 5>, 'NETWORK_QUALITY_DOWN': <NetworkQuality.NETWORK_QUALITY_DOWN: 6>}
    def __eq__(self, other: typing.Any) -> bool:
        ...
    def __getstate__(self) -> int:
        ...
    def __hash__(self) -> int:
        ...
    def __index__(self) -> int:
        ...
    def __init__(self, value: typing.SupportsIndex) -> None:
        ...
    def __int__(self) -> int:
        ...
    def __ne__(self, other: typing.Any) -> bool:
        ...
    def __repr__(self) -> str:
        ...
    def __setstate__(self, state: typing.SupportsIndex) -> None:
        ...
    def __str__(self) -> str:
        ...
    @property
    def name(self) -> str:
        ...
    @property
    def value(self) -> int:
        ...
class NetworkQualityInfo:
    quality: NetworkQuality
    user_id: VonuString
    def __init__(self) -> None:
        ...
class PixelFrame:
    format: VideoPixelFormat
    rotation: VideoRotation
    def SetData(self, arg0: bytes) -> None:
        ...
    def __init__(self) -> None:
        ...
    @property
    def data(self) -> bytes:
        ...
    @property
    def height(self) -> int:
        ...
    @height.setter
    def height(self, arg0: typing.SupportsIndex) -> None:
        ...
    @property
    def pts(self) -> int:
        ...
    @pts.setter
    def pts(self, arg0: typing.SupportsIndex) -> None:
        ...
    @property
    def size(self) -> int:
        ...
    @property
    def width(self) -> int:
        ...
    @width.setter
    def width(self, arg0: typing.SupportsIndex) -> None:
        ...
    # The payload, read-only and without a copy; SetData raises BufferError while a view is
    # exported.
    def __buffer__(self, flags: int, /) -> memoryview: ...
@typing.final
class QueuedDelegate(VONUCloudDelegate):
    """
    A delegate that queues every event in an EventQueue, without the GIL, under its key
    """
    def __init__(self, queue: EventQueue, key: typing.SupportsIndex, frame_bytes_limit: typing.SupportsIndex = 67108864) -> None:
        ...
    @property
    def frames_lost(self) -> int:
        """
        Frame events not queued: frame_bytes_limit bytes of frames were waiting.
        """
    @property
    def key(self) -> int:
        ...
    @property
    def waiting(self) -> int:
        """
        Events queued and not yet taken.
        """
class RoomParams:
    str_room_id: VonuString
    user_id: VonuString
    user_sig: VonuString
    def __init__(self) -> None:
        ...
    @property
    def room_id(self) -> int:
        ...
    @room_id.setter
    def room_id(self, arg0: typing.SupportsIndex) -> None:
        ...
    @property
    def sdk_app_id(self) -> int:
        ...
    @sdk_app_id.setter
    def sdk_app_id(self, arg0: typing.SupportsIndex) -> None:
        ...
class StreamType:
    """
    Members:
    
      STREAM_TYPE_UNKNOWN
    
      STREAM_TYPE_VIDEO_HIGH
    
      STREAM_TYPE_VIDEO_LOW
    
      STREAM_TYPE_VIDEO_AUX
    
      STREAM_TYPE_AUDIO
    """
    STREAM_TYPE_AUDIO: typing.ClassVar[StreamType]  # value = <StreamType.STREAM_TYPE_AUDIO: 1>
    STREAM_TYPE_UNKNOWN: typing.ClassVar[StreamType]  # value = <StreamType.STREAM_TYPE_UNKNOWN: -1>
    STREAM_TYPE_VIDEO_AUX: typing.ClassVar[StreamType]  # value = <StreamType.STREAM_TYPE_VIDEO_AUX: 7>
    STREAM_TYPE_VIDEO_HIGH: typing.ClassVar[StreamType]  # value = <StreamType.STREAM_TYPE_VIDEO_HIGH: 2>
    STREAM_TYPE_VIDEO_LOW: typing.ClassVar[StreamType]  # value = <StreamType.STREAM_TYPE_VIDEO_LOW: 3>
    __members__: typing.ClassVar[dict[str, StreamType]]  # value = {'STREAM_TYPE_UNKNOWN': <StreamType.STREAM_TYPE_UNKNOWN: -1>, 'STREAM_TYPE_VIDEO_HIGH': <StreamType.STREAM_TYPE_VIDEO_HIGH: 2>, 'STREAM_TYPE_VIDEO_LOW': <StreamType.STREAM_TYPE_VIDEO_LOW: 3>, 'STREAM_TYPE_VIDEO_AUX': <StreamType.STREAM_TYPE_VIDEO_AUX: 7>, 'STREAM_TYPE_AUDIO': <StreamType.STREAM_TYPE_AUDIO: 1>}
    def __eq__(self, other: typing.Any) -> bool:
        ...
    def __getstate__(self) -> int:
        ...
    def __hash__(self) -> int:
        ...
    def __index__(self) -> int:
        ...
    def __init__(self, value: typing.SupportsIndex) -> None:
        ...
    def __int__(self) -> int:
        ...
    def __ne__(self, other: typing.Any) -> bool:
        ...
    def __repr__(self) -> str:
        ...
    def __setstate__(self, state: typing.SupportsIndex) -> None:
        ...
    def __str__(self) -> str:
        ...
    @property
    def name(self) -> str:
        ...
    @property
    def value(self) -> int:
        ...
class UserInfo:
    user_id: VonuString
    def __init__(self) -> None:
        ...
class VADParams:
    enable: bool
    def __init__(self) -> None:
        ...
class VONUCloud:
    # The finalizer destroys the SDK instance before the delegate is released.
    # bound as: @staticmethod def __del__(*args, **kwargs)
    def __del__(self) -> None: ...
    def CreateLocalAudioChannel(self, params: AudioEncodeParams) -> int:
        ...
    def CreateLocalVideoChannel(self, type: StreamType) -> int:
        ...
    def DestroyLocalAudioChannel(self) -> int:
        ...
    def DestroyLocalVideoChannel(self, type: StreamType) -> int:
        ...
    def EnableVoiceActivityDetection(self, params: VADParams) -> None:
        ...
    def EnterRoom(self, params: EnterRoomParams) -> int:
        ...
    def ExitRoom(self) -> int:
        ...
    # None hands the SDK a null frame.
    # bound as: def GetAudioFrame(self, frame: AudioFrame) -> int
    def GetAudioFrame(self, frame: AudioFrame | None) -> int: ...
    def SendAudioFrame(self, frame: AudioFrame) -> int:
        ...
    def SendContinuousAudioFrame(self, frame: AudioFrame, clear_send_queue: bool) -> int:
        ...
    def SendCustomCmdMsg(self, cmd_id: typing.SupportsIndex, message: bytes, reliable: bool, ordered: bool) -> int:
        ...
    def SendPixelFrame(self, type: StreamType, frame: PixelFrame) -> int:
        ...
    def SendSeiMessage(self, message_type: typing.SupportsIndex, message: bytes) -> int:
        ...
    def SendVideoFrame(self, type: StreamType, frame: VideoFrame) -> int:
        ...
    def SetVideoEncodeParam(self, type: StreamType, param: VideoEncodeParams) -> None:
        ...
    # bound as: def Subscribe(self, user_id: str, type: StreamType) -> int
    def Subscribe(self, user_id: str | bytes, type: StreamType) -> int: ...
    # bound as: def Unsubscribe(self, user_id: str, type: StreamType) -> int
    def Unsubscribe(self, user_id: str | bytes, type: StreamType) -> int: ...
    # The delegate has no keyword name; None makes a cloud whose events go nowhere.
    # bound as: def __init__(self, arg0: PyVONUCloudDelegate) -> None
    def __init__(self, delegate: VONUCloudDelegate | None, /) -> None: ...
class VONUCloudDelegate:
    # These are the arguments that the SDK's threads call an override with, positionally, so a
    # subclass may name its parameters as it likes; what an override returns is ignored. User ids
    # are None when the SDK passes a null pointer. The SDK's two OnRemoteVideoReceived overloads
    # are OnRemoteVideoFrameReceived and OnRemotePixelFrameReceived here.

    # bound as: def OnConnectionStateChanged(self, arg0: ConnectionState, arg1: ConnectionState) -> None
    def OnConnectionStateChanged(self, old_state: ConnectionState, new_state: ConnectionState, /) -> None: ...
    def OnEnterRoom(self) -> None:
        ...
    # bound as: def OnError(self, arg0: Error) -> None
    def OnError(self, error: Error, /) -> None: ...
    def OnExitRoom(self) -> None:
        ...
    def OnLocalAudioChannelCreated(self) -> None:
        ...
    def OnLocalAudioChannelDestroyed(self) -> None:
        ...
    # bound as: def OnLocalVideoChannelCreated(self, arg0: StreamType) -> None
    def OnLocalVideoChannelCreated(self, stream_type: StreamType, /) -> None: ...
    # bound as: def OnLocalVideoChannelDestroyed(self, arg0: StreamType) -> None
    def OnLocalVideoChannelDestroyed(self, stream_type: StreamType, /) -> None: ...
    # bound as: def OnMissCustomCmdMsg(self, arg0: str, arg1: typing.SupportsInt | typing.SupportsIndex, arg2: typing.SupportsInt | typing.SupportsIndex, arg3: typing.SupportsInt | typing.SupportsIndex) -> None
    def OnMissCustomCmdMsg(self, user_id: str | None, cmd_id: int, error_code: int, missed: int, /) -> None: ...
    # An override gets the local record and a list of the remote ones; a call from Python takes
    # the bound parameters, two records and the remote count.
    # bound as: def OnNetworkQuality(self, arg0: NetworkQualityInfo, arg1: NetworkQualityInfo, arg2: typing.SupportsInt | typing.SupportsIndex) -> None
    def OnNetworkQuality(
        self, local_quality: NetworkQualityInfo, remote_qualities: list[NetworkQualityInfo], /
    ) -> None: ...
    # An override gets the message as bytes; a call from Python takes the bound parameters, the
    # message as text with its length.
    # bound as: def OnReceiveCustomCmdMsg(self, arg0: str, arg1: typing.SupportsInt | typing.SupportsIndex, arg2: typing.SupportsInt | typing.SupportsIndex, arg3: str, arg4: typing.SupportsInt | typing.SupportsIndex) -> None
    def OnReceiveCustomCmdMsg(self, user_id: str | None, cmd_id: int, seq: int, message: bytes, /) -> None: ...
    # bound as: def OnRemoteAudioAvailable(self, arg0: str, arg1: bool) -> None
    def OnRemoteAudioAvailable(self, user_id: str | None, available: bool, /) -> None: ...
    # bound as: def OnRemoteAudioReceived(self, arg0: str, arg1: AudioFrame) -> None
    def OnRemoteAudioReceived(self, user_id: str | None, frame: AudioFrame, /) -> None: ...
    # bound as: def OnRemoteMixedAudioReceived(self, arg0: AudioFrame) -> None
    def OnRemoteMixedAudioReceived(self, frame: AudioFrame, /) -> None: ...
    # bound as: def OnRemotePixelFrameReceived(self, arg0: str, arg1: StreamType, arg2: PixelFrame) -> None
    def OnRemotePixelFrameReceived(self, user_id: str | None, type: StreamType, frame: PixelFrame, /) -> None: ...
    # bound as: def OnRemoteUserEnterRoom(self, arg0: UserInfo) -> None
    def OnRemoteUserEnterRoom(self, info: UserInfo, /) -> None: ...
    # bound as: def OnRemoteUserExitRoom(self, arg0: UserInfo, arg1: typing.SupportsInt | typing.SupportsIndex) -> None
    def OnRemoteUserExitRoom(self, info: UserInfo, reason: int, /) -> None: ...
    # bound as: def OnRemoteVideoAvailable(self, arg0: str, arg1: bool, arg2: StreamType) -> None
    def OnRemoteVideoAvailable(self, user_id: str | None, available: bool, type: StreamType, /) -> None: ...
    # bound as: def OnRemoteVideoFrameReceived(self, arg0: str, arg1: StreamType, arg2: VideoFrame) -> None
    def OnRemoteVideoFrameReceived(self, user_id: str | None, type: StreamType, frame: VideoFrame, /) -> None: ...
    # bound as: def OnRequestChangeVideoEncodeBitrate(self, arg0: StreamType, arg1: typing.SupportsInt | typing.SupportsIndex) -> None
    def OnRequestChangeVideoEncodeBitrate(self, stream_type: StreamType, bitrate_bps: int, /) -> None: ...
    # bound as: def OnRequestKeyFrame(self, arg0: StreamType) -> None
    def OnRequestKeyFrame(self, stream_type: StreamType, /) -> None: ...
    # An override gets the message as bytes; a call from Python takes the bound parameters, the
    # message as text with its length.
    # bound as: def OnSeiMessageReceived(self, arg0: str, arg1: StreamType, arg2: typing.SupportsInt | typing.SupportsIndex, arg3: str, arg4: typing.SupportsInt | typing.SupportsIndex) -> None
    def OnSeiMessageReceived(
        self, user_id: str | None, stream_type: StreamType, message_type: int, message: bytes, /
    ) -> None: ...
    def __init__(self) -> None:
        ...
class VONURole:
    """
    Members:
    
      VONU_ROLE_ANCHOR
    
      VONU_ROLE_AUDIENCE
    """
    VONU_ROLE_ANCHOR: typing.ClassVar[VONURole]  # value = <VONURole.VONU_ROLE_ANCHOR: 0>
    VONU_ROLE_AUDIENCE: typing.ClassVar[VONURole]  # value = <VONURole.VONU_ROLE_AUDIENCE: 1>
    __members__: typing.ClassVar[dict[str, VONURole]]  # value = {'VONU_ROLE_ANCHOR': <VONURole.VONU_ROLE_ANCHOR: 0>, 'VONU_ROLE_AUDIENCE': <VONURole.VONU_ROLE_AUDIENCE: 1>}
    def __eq__(self, other: typing.Any) -> bool:
        ...
    def __getstate__(self) -> int:
        ...
    def __hash__(self) -> int:
        ...
    def __index__(self) -> int:
        ...
    def __init__(self, value: typing.SupportsIndex) -> None:
        ...
    def __int__(self) -> int:
        ...
    def __ne__(self, other: typing.Any) -> bool:
        ...
    def __repr__(self) -> str:
        ...
    def __setstate__(self, state: typing.SupportsIndex) -> None:
        ...
    def __str__(self) -> str:
        ...
    @property
    def name(self) -> str:
        ...
    @property
    def value(self) -> int:
        ...
class VONUScene:
    """
    Members:
    
      VONU_SCENE_VIDEO_CALL
    
      VONU_SCENE_AUDIO_CALL
    
      VONU_SCENE_LIVE
    
      VONU_SCENE_VOICE_CHAT
    
      VONU_SCENE_RECORD
    """
    VONU_SCENE_AUDIO_CALL: typing.ClassVar[VONUScene]  # value = <VONUScene.VONU_SCENE_AUDIO_CALL: 1>
    VONU_SCENE_LIVE: typing.ClassVar[VONUScene]  # value = <VONUScene.VONU_SCENE_LIVE: 2>
    VONU_SCENE_RECORD: typing.ClassVar[VONUScene]  # value = <VONUScene.VONU_SCENE_RECORD: 4>
    VONU_SCENE_VIDEO_CALL: typing.ClassVar[VONUScene]  # value = <VONUScene.VONU_SCENE_VIDEO_CALL: 0>
    VONU_SCENE_VOICE_CHAT: typing.ClassVar[VONUScene]  # value = <VONUScene.VONU_SCENE_VOICE_CHAT: 3>
    __members__: typing.ClassVar[dict[str, VONUScene]]  # value = {'VONU_SCENE_VIDEO_CALL': <VONUScene.VONU_SCENE_VIDEO_CALL: 0>, 'VONU_SCENE_AUDIO_CALL': <VONUScene.VONU_SCENE_AUDIO_CALL: 1>, 'VONU_SCENE_LIVE': <VONUScene.VONU_SCENE_LIVE: 2>, 'VONU_SCENE_VOICE_CHAT': <VONUScene.VONU_SCENE_VOICE_CHAT: 3>, 'VONU_SCENE_RECORD': <VONUScene.VONU_SCENE_RECORD: 4>}
    def __eq__(self, other: typing.Any) -> bool:
        ...
    def __getstate__(self) -> int:
        ...
    def __hash__(self) -> int:
        ...
    def __index__(self) -> int:
        ...
    def __init__(self, value: typing.SupportsIndex) -> None:
        ...
    def __int__(self) -> int:
        ...
    def __ne__(self, other: typing.Any) -> bool:
        ...
    def __repr__(self) -> str:
        ...
    def __setstate__(self, state: typing.SupportsIndex) -> None:
        ...
    def __str__(self) -> str:
        ...
    @property
    def name(self) -> str:
        ...
    @property
    def value(self) -> int:
        ...
class VideoCodecType:
    """
    Members:
    
      VIDEO_CODEC_TYPE_H264
    
      VIDEO_CODEC_TYPE_H265
    """
    VIDEO_CODEC_TYPE_H264: typing.ClassVar[VideoCodecType]  # value = <VideoCodecType.VIDEO_CODEC_TYPE_H264: 0>
    VIDEO_CODEC_TYPE_H265: typing.ClassVar[VideoCodecType]  # value = <VideoCodecType.VIDEO_CODEC_TYPE_H265: 1>
    __members__: typing.ClassVar[dict[str, VideoCodecType]]  # value = {'VIDEO_CODEC_TYPE_H264': <VideoCodecType.VIDEO_CODEC_TYPE_H264: 0>, 'VIDEO_CODEC_TYPE_H265': <VideoCodecType.VIDEO_CODEC_TYPE_H265: 1>}
    def __eq__(self, other: typing.Any) -> bool:
        ...
    def __getstate__(self) -> int:
        ...
    def __hash__(self) -> int:
        ...
    def __index__(self) -> int:
        ...
    def __init__(self, value: typing.SupportsIndex) -> None:
        ...
    def __int__(self) -> int:
        ...
    def __ne__(self, other: typing.Any) -> bool:
        ...
    def __repr__(self) -> str:
        ...
    def __setstate__(self, state: typing.SupportsIndex) -> None:
        ...
    def __str__(self) -> str:
        ...
    @property
    def name(self) -> str:
        ...
    @property
    def value(self) -> int:
        ...
class VideoEncodeParams:
    def __init__(self) -> None:
        ...
    @property
    def bitrate_bps(self) -> int:
        ...
    @bitrate_bps.setter
    def bitrate_bps(self, arg0: typing.SupportsIndex) -> None:
        ...
    @property
    def frame_rate(self) -> int:
        ...
    @frame_rate.setter
    def frame_rate(self, arg0: typing.SupportsIndex) -> None:
        ...
    @property
    def gop_in_seconds(self) -> int:
        ...
    @gop_in_seconds.setter
    def gop_in_seconds(self, arg0: typing.SupportsIndex) -> None:
        ...
class VideoFrame:
    codec: VideoCodecType
    is_key_frame: bool
    rotation: VideoRotation
    def SetData(self, arg0: bytes) -> None:
        ...
    def __init__(self) -> None:
        ...
    @property
    def data(self) -> bytes:
        ...
    @property
    def dts(self) -> int:
        ...
    @dts.setter
    def dts(self, arg0: typing.SupportsIndex) -> None:
        ...
    @property
    def pts(self) -> int:
        ...
    @pts.setter
    def pts(self, arg0: typing.SupportsIndex) -> None:
        ...
    @property
    def size(self) -> int:
        ...
    # The payload, read-only and without a copy; SetData raises BufferError while a view is
    # exported.
    def __buffer__(self, flags: int, /) -> memoryview: ...
class VideoPixelFormat:
    """
    Members:
    
      VIDEO_PIXEL_FORMAT_YUV420p
    
      VIDEO_PIXEL_FORMAT_YUVA420p
    
      VIDEO_PIXEL_FORMAT_RGBA
    """
    VIDEO_PIXEL_FORMAT_RGBA: typing.ClassVar[VideoPixelFormat]  # value = <VideoPixelFormat.VIDEO_PIXEL_FORMAT_RGBA: 2>
    VIDEO_PIXEL_FORMAT_YUV420p: typing.ClassVar[VideoPixelFormat]  # value = <VideoPixelFormat.VIDEO_PIXEL_FORMAT_YUV420p: 0>
    VIDEO_PIXEL_FORMAT_YUVA420p: typing.ClassVar[VideoPixelFormat]  # value = <VideoPixelFormat.VIDEO_PIXEL_FORMAT_YUVA420p: 1>
    __members__: typing.ClassVar[dict[str, VideoPixelFormat]]  # value = {'VIDEO_PIXEL_FORMAT_YUV420p': <VideoPixelFormat.VIDEO_PIXEL_FORMAT_YUV420p: 0>, 'VIDEO_PIXEL_FORMAT_YUVA420p': <VideoPixelFormat.VIDEO_PIXEL_FORMAT_YUVA420p: 1>, 'VIDEO_PIXEL_FORMAT_RGBA': <VideoPixelFormat.VIDEO_PIXEL_FORMAT_RGBA: 2>}
    def __eq__(self, other: typing.Any) -> bool:
        ...
    def __getstate__(self) -> int:
        ...
    def __hash__(self) -> int:
        ...
    def __index__(self) -> int:
        ...
    def __init__(self, value: typing.SupportsIndex) -> None:
        ...
    def __int__(self) -> int:
        ...
    def __ne__(self, other: typing.Any) -> bool:
        ...
    def __repr__(self) -> str:
        ...
    def __setstate__(self, state: typing.SupportsIndex) -> None:
        ...
    def __str__(self) -> str:
        ...
    @property
    def name(self) -> str:
        ...
    @property
    def value(self) -> int:
        ...
class VideoRotation:
    """
    Members:
    
      VIDEO_ROTATION_0
    
      VIDEO_ROTATION_90
    
      VIDEO_ROTATION_180
    
      VIDEO_ROTATION_270
    """
    VIDEO_ROTATION_0: typing.ClassVar[VideoRotation]  # value = <VideoRotation.VIDEO_ROTATION_0: 0>
    VIDEO_ROTATION_180: typing.ClassVar[VideoRotation]  # value = <VideoRotation.VIDEO_ROTATION_180: 2>
    VIDEO_ROTATION_270: typing.ClassVar[VideoRotation]  # value = <VideoRotation.VIDEO_ROTATION_270: 3>
    VIDEO_ROTATION_90: typing.ClassVar[VideoRotation]  # value = <VideoRotation.VIDEO_ROTATION_90: 1>
    __members__: typing.ClassVar[dict[str, VideoRotation]]  # value = {'VIDEO_ROTATION_0': <VideoRotation.VIDEO_ROTATION_0: 0>, 'VIDEO_ROTATION_90': <VideoRotation.VIDEO_ROTATION_90: 1>, 'VIDEO_ROTATION_180': <VideoRotation.VIDEO_ROTATION_180: 2>, 'VIDEO_ROTATION_270': <VideoRotation.VIDEO_ROTATION_270: 3>}
    def __eq__(self, other: typing.Any) -> bool:
        ...
    def __getstate__(self) -> int:
        ...
    def __hash__(self) -> int:
        ...
    def __index__(self) -> int:
        ...
    def __init__(self, value: typing.SupportsIndex) -> None:
        ...
    def __int__(self) -> int:
        ...
    def __ne__(self, other: typing.Any) -> bool:
        ...
    def __repr__(self) -> str:
        ...
    def __setstate__(self, state: typing.SupportsIndex) -> None:
        ...
    def __str__(self) -> str:
        ...
    @property
    def name(self) -> str:
        ...
    @property
    def value(self) -> int:
        ...
class VonuString:
    # None when the SDK holds a null pointer.
    # bound as: def GetValue(self) -> str
    def GetValue(self) -> str | None: ...
    # bound as: def SetValue(self, arg0: str) -> None
    def SetValue(self, value: str | bytes | None, /) -> None: ...
    # bound as: def __init__(self) -> None
    # bound as: def __init__(self, arg0: str) -> None
    @typing.overload
    def __init__(self) -> None: ...
    @typing.overload
    def __init__(self, value: str | bytes | None, /) -> None: ...
    def __repr__(self) -> str:
        ...
    def __str__(self) -> str:
        ...
def DisableConsoleLog() -> None:
    ...
def DisableLogCompress(disabled: bool) -> None:
    ...
def DisableLogFile(disabled: bool) -> None:
    ...
def EnableConsoleLog() -> None:
    ...
# bound as: def SetEnvironment(env: str) -> bool
def SetEnvironment(env: str | bytes | None) -> bool: ...
def SetLogLevel(level: typing.SupportsIndex) -> None:
    ...
# bound as: def SetLogPath(path: str) -> bool
def SetLogPath(path: str | bytes | None) -> bool: ...
# bound as: def SetSocks5Proxy(ip: str, port: typing.SupportsInt | typing.SupportsIndex, username: str, password: str) -> bool
def SetSocks5Proxy(
    ip: str | bytes | None,
    port: typing.SupportsIndex,
    username: str | bytes | None,
    password: str | bytes | None,
) -> bool: ...
AUDIO_CODEC_TYPE_AAC: AudioCodecType  # value = <AudioCodecType.AUDIO_CODEC_TYPE_AAC: 2>
AUDIO_CODEC_TYPE_OPUS: AudioCodecType  # value = <AudioCodecType.AUDIO_CODEC_TYPE_OPUS: 1>
AUDIO_CODEC_TYPE_PCM: AudioCodecType  # value = <AudioCodecType.AUDIO_CODEC_TYPE_PCM: 0>
AUDIO_OBTAIN_METHOD_CALLBACK: AudioObtainMethod  # value = <AudioObtainMethod.AUDIO_OBTAIN_METHOD_CALLBACK: 1>
AUDIO_OBTAIN_METHOD_GET: AudioObtainMethod  # value = <AudioObtainMethod.AUDIO_OBTAIN_METHOD_GET: 0>
CONNECTION_STATE_CONNECTED: ConnectionState  # value = <ConnectionState.CONNECTION_STATE_CONNECTED: 3>
CONNECTION_STATE_CONNECTING: ConnectionState  # value = <ConnectionState.CONNECTION_STATE_CONNECTING: 2>
CONNECTION_STATE_DISCONNECTED: ConnectionState  # value = <ConnectionState.CONNECTION_STATE_DISCONNECTED: 1>
CONNECTION_STATE_INIT: ConnectionState  # value = <ConnectionState.CONNECTION_STATE_INIT: 0>
ERR_BANNED_BY_SERVER: Error  # value = <Error.ERR_BANNED_BY_SERVER: -205>
ERR_ENTER_ROOM_FAILED: Error  # value = <Error.ERR_ENTER_ROOM_FAILED: -3301>
ERR_FAILED: Error  # value = <Error.ERR_FAILED: -1>
ERR_INVALID_OPERATION: Error  # value = <Error.ERR_INVALID_OPERATION: -3>
ERR_INVALID_PARAMETER: Error  # value = <Error.ERR_INVALID_PARAMETER: -2>
ERR_INVALID_ROOM_ID: Error  # value = <Error.ERR_INVALID_ROOM_ID: -3318>
ERR_INVALID_SDK_APP_ID: Error  # value = <Error.ERR_INVALID_SDK_APP_ID: -3317>
ERR_INVALID_USER_ID: Error  # value = <Error.ERR_INVALID_USER_ID: -3319>
ERR_INVALID_USER_SIG: Error  # value = <Error.ERR_INVALID_USER_SIG: -3320>
ERR_NETWORK_UNREACHABLE: Error  # value = <Error.ERR_NETWORK_UNREACHABLE: -103>
ERR_NOT_SUPPORTED: Error  # value = <Error.ERR_NOT_SUPPORTED: -4>
ERR_OK: Error  # value = <Error.ERR_OK: 0>
ERR_READ_TRY_AGAIN: Error  # value = <Error.ERR_READ_TRY_AGAIN: -102>
ERR_REQUEST_SERVER_TIMEOUT: Error  # value = <Error.ERR_REQUEST_SERVER_TIMEOUT: -6>
ERR_SERVER_PROCESS_FAILED: Error  # value = <Error.ERR_SERVER_PROCESS_FAILED: -7>
ERR_SERVICE_SUSPENDED: Error  # value = <Error.ERR_SERVICE_SUSPENDED: -100013>
NETWORK_QUALITY_BAD: NetworkQuality  # value = <NetworkQuality.NETWORK_QUALITY_BAD: 4>
NETWORK_QUALITY_DOWN: NetworkQuality  # value = <NetworkQuality.NETWORK_QUALITY_DOWN: 6>
NETWORK_QUALITY_EXCELLENT: NetworkQuality  # value = <NetworkQuality.NETWORK_QUALITY_EXCELLENT: 1>
NETWORK_QUALITY_GOOD: NetworkQuality  # value = <NetworkQuality.NETWORK_QUALITY_GOOD: 2>
NETWORK_QUALITY_POOR: NetworkQuality  # value = <NetworkQuality.NETWORK_QUALITY_POOR: 3>
NETWORK_QUALITY_UNKNOWN: NetworkQuality  # value = <NetworkQuality.NETWORK_QUALITY_UNKNOWN: 0>
NETWORK_QUALITY_VERY_BAD: NetworkQuality  # value = <NetworkQuality.NETWORK_QUALITY_VERY_BAD: 5>
STREAM_TYPE_AUDIO: StreamType  # value = <StreamType.STREAM_TYPE_AUDIO: 1>
STREAM_TYPE_UNKNOWN: StreamType  # value = <StreamType.STREAM_TYPE_UNKNOWN: -1>
STREAM_TYPE_VIDEO_AUX: StreamType  # value = <StreamType.STREAM_TYPE_VIDEO_AUX: 7>
STREAM_TYPE_VIDEO_HIGH: StreamType  # value = <StreamType.STREAM_TYPE_VIDEO_HIGH: 2>
STREAM_TYPE_VIDEO_LOW: StreamType  # value = <StreamType.STREAM_TYPE_VIDEO_LOW: 3>
VIDEO_CODEC_TYPE_H264: VideoCodecType  # value = <VideoCodecType.VIDEO_CODEC_TYPE_H264: 0>
VIDEO_CODEC_TYPE_H265: VideoCodecType  # value = <VideoCodecType.VIDEO_CODEC_TYPE_H265: 1>
VIDEO_PIXEL_FORMAT_RGBA: VideoPixelFormat  # value = <VideoPixelFormat.VIDEO_PIXEL_FORMAT_RGBA: 2>
VIDEO_PIXEL_FORMAT_YUV420p: VideoPixelFormat  # value = <VideoPixelFormat.VIDEO_PIXEL_FORMAT_YUV420p: 0>
VIDEO_PIXEL_FORMAT_YUVA420p: VideoPixelFormat  # value = <VideoPixelFormat.VIDEO_PIXEL_FORMAT_YUVA420p: 1>
VIDEO_ROTATION_0: VideoRotation  # value = <VideoRotation.VIDEO_ROTATION_0: 0>
VIDEO_ROTATION_180: VideoRotation  # value = <VideoRotation.VIDEO_ROTATION_180: 2>
VIDEO_ROTATION_270: VideoRotation  # value = <VideoRotation.VIDEO_ROTATION_270: 3>
VIDEO_ROTATION_90: VideoRotation  # value = <VideoRotation.VIDEO_ROTATION_90: 1>
VONU_ROLE_ANCHOR: VONURole  # value = <VONURole.VONU_ROLE_ANCHOR: 0>
VONU_ROLE_AUDIENCE: VONURole  # value = <VONURole.VONU_ROLE_AUDIENCE: 1>
VONU_SCENE_AUDIO_CALL: VONUScene  # value = <VONUScene.VONU_SCENE_AUDIO_CALL: 1>
VONU_SCENE_LIVE: VONUScene  # value = <VONUScene.VONU_SCENE_LIVE: 2>
VONU_SCENE_RECORD: VONUScene  # value = <VONUScene.VONU_SCENE_RECORD: 4>
VONU_SCENE_VIDEO_CALL: VONUScene  # value = <VONUScene.VONU_SCENE_VIDEO_CALL: 0>
VONU_SCENE_VOICE_CHAT: VONUScene  # value = <VONUScene.VONU_SCENE_VOICE_CHAT: 3>
