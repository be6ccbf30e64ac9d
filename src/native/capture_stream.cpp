#include "capture_stream.hpp"

#include "args.hpp"

namespace varnel {

std::unique_ptr<FrameReader> argument_reader(PyObject* argument, CaptureInput::Kind kind, Wording wording) {
    const char* name = bytes_argument_as_name(argument);
    if (name == nullptr) return nullptr;
    std::vector<CaptureInput> inputs{CaptureInput{kind, name, name}};
    return std::make_unique<FrameReader>(std::move(inputs), ReaderSettings{}, wording);
}

}  // namespace varnel
