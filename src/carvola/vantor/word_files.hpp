// Banned-word files: the extension rule, pickle files read through an unpickler that
// refuses every global, text files read natively while `open` is the original, and the
// pickle writer.
#pragma once

#include "support.hpp"

#include <cstddef>
#include <memory>

namespace carvola::vantor {

// os.path.splitext(file_path)[1].lower()
Ref file_extension(PyObject *file_path) noexcept;
// ext == ".pkl" or ext == ".pickle": 1, 0, or -1 on error.
int is_pickle_extension(PyObject *ext) noexcept;

// The pickle branch of _load_from_file: str() of every item of the pickled list.
Ref load_pickle_file(PyObject *file_path) noexcept;
// The text branch of _load_from_file: every line stripped, blank lines kept as "".
Ref load_text_file(PyObject *file_path) noexcept;
// The same through the module global `open`, whatever it is now.
Ref load_text_file_through_open(PyObject *file_path) noexcept;

// with open(output_path, "wb") as f: pickle.dump(words, f)
bool write_pickle_file(PyObject *words, PyObject *output_path) noexcept;

// Remembers io.open, which the native reading stands in for; false with an exception set.
bool remember_open() noexcept;
// 1 while the module global `open` is io.open, 0 when it was replaced, -1 on error.
int open_is_original() noexcept;

// A file's bytes, read whole.
struct FileBytes {
    std::unique_ptr<unsigned char[]> data;
    std::size_t size = 0;
};

enum class Read { done, through_open, failed };

// The bytes open(file_path, "r", encoding="utf-8") would decode. A file this does not read
// the same way (not a regular file, too large) is left to open(): Read::through_open,
// with no exception set.
Read read_file_bytes(PyObject *file_path, FileBytes &bytes) noexcept;

enum class Line { done, invalid, failed };

// The line bytes[start:*stop] stripped as str.strip() strips, as a str, where *stop is
// moved to the first "\n" or "\r" from start on (or to the end). Line::invalid, with no
// exception set, when the line is not valid UTF-8.
Line line_word(const unsigned char *start, const unsigned char *end, const unsigned char **stop, Ref &word) noexcept;

// Calls sink(word) with every line of `bytes` stripped, split as text mode splits: at
// "\n", "\r" and "\r\n" only (not at the other line ends str.splitlines() knows), with
// no empty line after a final line end. Line::invalid (no exception set) when the bytes
// are not valid UTF-8, after the lines before the first invalid one: open() then raises
// the decoder's own error. Line::failed when the sink or an allocation failed.
template <typename Sink>
Line for_each_line_word(const FileBytes &bytes, Sink &&sink) {
    const unsigned char *p = bytes.data.get();
    const unsigned char *end = p + bytes.size;
    while (p < end) {
        Ref word;
        const Line line = line_word(p, end, &p, word);
        if (line != Line::done) return line;
        if (!sink(std::move(word))) return Line::failed;
        if (p < end && *p++ == '\r' && p < end && *p == '\n') ++p;
    }
    return Line::done;
}

}  // namespace carvola::vantor
