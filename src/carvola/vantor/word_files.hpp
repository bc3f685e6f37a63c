// Banned-word files: the extension rule, pickle files read through an unpickler that
// refuses every global, text files read natively while `open` is the original, and the
// pickle writer.
#pragma once

#include "support.hpp"

#include <functional>

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

enum class Read { done, through_open, failed };

// Takes each stripped line of a file read natively; false with an exception set.
using WordSink = std::function<bool(Ref)>;

// The text branch of _load_from_file read natively, each word handed to `sink` as an
// exact str. Read::through_open, with no exception set, when open() must read it instead:
// `open` was replaced, or the bytes are not UTF-8 (open() then raises the decoder's error
// in its own words); the words handed over before are then to be dropped. `expect`, when
// given, learns the file's size in bytes before the first word.
Read read_text_words(PyObject *file_path, const WordSink &sink,
                     const std::function<void(std::size_t)> &expect = {}) noexcept;

}  // namespace carvola::vantor
