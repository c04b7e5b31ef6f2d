// Lets a library of headers only, or one not yet written, still build.
