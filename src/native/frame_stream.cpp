#include "frame_stream.hpp"

#include "args.hpp"

namespace varnel {

bool open_file_argument(FrameReader& reader, PyObject* argument) {
    const char* path = bytes_argument_as_name(argument);
    return path != nullptr && reader.open_file(path);
}

bool open_device_argument(FrameReader& reader, PyObject* argument) {
    const char* device = bytes_argument_as_name(argument);
    return device != nullptr && reader.open_live(device);
}

}  // namespace varnel
