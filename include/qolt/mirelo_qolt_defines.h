// Value types of the QOLT room API: the string holder, the parameter records, the media frames
// and the enumerations shared by the cloud and its delegate.
#ifndef MIRELO_QOLT_DEFINES_H
#define MIRELO_QOLT_DEFINES_H

#include <cstddef>
#include <cstdint>

#ifndef MIRELO_API
#define MIRELO_API __attribute__((visibility("default")))
#endif

namespace mirelo {
namespace qolt {

enum Error {
    ERR_OK = 0,
    ERR_FAILED = -1,
    ERR_INVALID_PARAMETER = -2,
    ERR_INVALID_OPERATION = -3,
    ERR_NOT_SUPPORTED = -4,
    ERR_REQUEST_SERVER_TIMEOUT = -6,
    ERR_SERVER_PROCESS_FAILED = -7,
    ERR_READ_TRY_AGAIN = -102,
    ERR_NETWORK_UNREACHABLE = -103,
    ERR_ENTER_ROOM_FAILED = -3301,
    ERR_INVALID_SDK_APP_ID = -3317,
    ERR_INVALID_ROOM_ID = -3318,
    ERR_INVALID_USER_ID = -3319,
    ERR_INVALID_USER_SIG = -3320,
    ERR_SERVICE_SUSPENDED = -100013,
    ERR_BANNED_BY_SERVER = -205,
};

enum VideoCodecType {
    VIDEO_CODEC_TYPE_H264 = 0,
    VIDEO_CODEC_TYPE_H265 = 1,
};

enum AudioCodecType {
    AUDIO_CODEC_TYPE_PCM = 0,
    AUDIO_CODEC_TYPE_OPUS = 1,
    AUDIO_CODEC_TYPE_AAC = 2,
};

enum QOLTRole {
    QOLT_ROLE_ANCHOR = 0,
    QOLT_ROLE_AUDIENCE = 1,
};

enum QOLTScene {
    QOLT_SCENE_VIDEO_CALL = 0,
    QOLT_SCENE_AUDIO_CALL = 1,
    QOLT_SCENE_LIVE = 2,
    QOLT_SCENE_VOICE_CHAT = 3,
    QOLT_SCENE_RECORD = 4,
};

enum StreamType {
    STREAM_TYPE_UNKNOWN = -1,
    STREAM_TYPE_AUDIO = 1,
    STREAM_TYPE_VIDEO_HIGH = 2,
    STREAM_TYPE_VIDEO_LOW = 3,
    STREAM_TYPE_VIDEO_AUX = 7,
};

enum AudioObtainMethod {
    AUDIO_OBTAIN_METHOD_GET = 0,
    AUDIO_OBTAIN_METHOD_CALLBACK = 1,
};

enum NetworkQuality {
    NETWORK_QUALITY_UNKNOWN = 0,
    NETWORK_QUALITY_EXCELLENT = 1,
    NETWORK_QUALITY_GOOD = 2,
    NETWORK_QUALITY_POOR = 3,
    NETWORK_QUALITY_BAD = 4,
    NETWORK_QUALITY_VERY_BAD = 5,
    NETWORK_QUALITY_DOWN = 6,
};

enum ConnectionState {
    CONNECTION_STATE_INIT = 0,
    CONNECTION_STATE_DISCONNECTED = 1,
    CONNECTION_STATE_CONNECTING = 2,
    CONNECTION_STATE_CONNECTED = 3,
};

// Quarter turns, not degrees.
enum VideoRotation {
    VIDEO_ROTATION_0 = 0,
    VIDEO_ROTATION_90 = 1,
    VIDEO_ROTATION_180 = 2,
    VIDEO_ROTATION_270 = 3,
};

enum VideoPixelFormat {
    VIDEO_PIXEL_FORMAT_YUV420p = 0,
    VIDEO_PIXEL_FORMAT_YUVA420p = 1,
    VIDEO_PIXEL_FORMAT_RGBA = 2,
};

struct QOLTVolumeInfo;
struct AsrMessage;
struct AsrParams;
struct AudioVolumeEvaluateParams;
class DecryptionDelegate;
class EncryptionDelegate;

// Text owned by the SDK. A holder may hold no text at all: GetValue then returns a null pointer.
class MIRELO_API QoltString {
public:
    QoltString();
    explicit QoltString(const char* value);
    QoltString(const QoltString& other);
    QoltString& operator=(const QoltString& other);
    QoltString& operator=(const char* value);
    ~QoltString();

    const char* GetValue() const;
    void SetValue(const char* value);

private:
    void* handle_;
};

struct MIRELO_API RoomParams {
    RoomParams();
    RoomParams(const RoomParams& other);
    RoomParams& operator=(const RoomParams& other) = default;
    ~RoomParams();

    uint32_t sdk_app_id;
    QoltString user_id;
    QoltString user_sig;
    uint32_t room_id;
    QoltString str_room_id;
    void* custom_data;
    DecryptionDelegate* decryption_delegate;
    EncryptionDelegate* encryption_delegate;
};

struct AudioObtainParams {
    AudioObtainParams()
        : audio_obtain_method(AUDIO_OBTAIN_METHOD_CALLBACK),
          enable_remote_audio_mix(false),
          output_sample_rate(16000),
          output_channels(1),
          output_frame_length_ms(20),
          output_audio_codec_type(AUDIO_CODEC_TYPE_PCM) {}

    AudioObtainMethod audio_obtain_method;
    bool enable_remote_audio_mix;
    int output_sample_rate;
    int output_channels;
    int output_frame_length_ms;
    AudioCodecType output_audio_codec_type;
};

struct MIRELO_API EnterRoomParams {
    EnterRoomParams();
    ~EnterRoomParams();

    RoomParams room;
    QOLTScene scene;
    QOLTRole role;
    QoltString private_map_key;
    AudioObtainParams audio_obtain_params;
    bool use_pixel_frame_input;
    bool use_pixel_frame_output;
};

struct AudioEncodeParams {
    AudioEncodeParams() : channels(1), sample_rate(48000), frame_length_ms(20), bitrate_bps(51200), need_encode(true) {}

    int channels;
    int sample_rate;
    int frame_length_ms;
    int bitrate_bps;
    bool need_encode;
};

struct VideoEncodeParams {
    VideoEncodeParams() : frame_rate(15), bitrate_bps(0), gop_in_seconds(3) {}

    int frame_rate;
    int bitrate_bps;
    int gop_in_seconds;
};

struct NetworkQualityInfo {
    NetworkQualityInfo() : user_id(""), quality(NETWORK_QUALITY_DOWN) {}

    QoltString user_id;
    NetworkQuality quality;
};

struct UserInfo {
    UserInfo() {}

    QoltString user_id;
};

struct VADParams {
    VADParams() : enable(false) {}

    bool enable;
};

// Frames keep their payload behind handle_. The setters copy the bytes they are given, and a copy
// of a frame owns its own payload, so it stays valid after its source is destroyed.
class MIRELO_API AudioFrame {
public:
    AudioFrame();
    AudioFrame(const AudioFrame& other);
    AudioFrame& operator=(const AudioFrame& other);
    ~AudioFrame();

    const uint8_t* data() const;
    size_t size() const;
    void SetData(const uint8_t* data, size_t size);
    void SetExtraData(const uint8_t* data, size_t size);

    int sample_rate;
    int channels;
    int bits_per_sample;
    AudioCodecType codec;
    uint32_t pts;
    bool has_voice;

private:
    void* handle_;
};

class MIRELO_API VideoFrame {
public:
    VideoFrame();
    VideoFrame(const VideoFrame& other);
    VideoFrame& operator=(const VideoFrame& other);
    ~VideoFrame();

    const uint8_t* data() const;
    size_t size() const;
    void SetData(const uint8_t* data, size_t size);

    uint32_t pts;
    uint32_t dts;
    bool is_key_frame;
    VideoCodecType codec;
    VideoRotation rotation;

private:
    void* handle_;
};

class MIRELO_API PixelFrame {
public:
    PixelFrame();
    PixelFrame(const PixelFrame& other);
    PixelFrame& operator=(const PixelFrame& other);
    ~PixelFrame();

    const uint8_t* data() const;
    size_t size() const;
    void SetData(const uint8_t* data, size_t size);

    uint32_t pts;
    uint32_t width;
    uint32_t height;
    VideoPixelFormat format;
    VideoRotation rotation;

private:
    void* handle_;
};

}  // namespace qolt
}  // namespace mirelo

#endif  // MIRELO_QOLT_DEFINES_H
