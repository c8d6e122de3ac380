# The command line's files: <stem>.dat and <stem>.par, written both or neither, and read back.

write_run <- function(run, stem, verbose = FALSE) {
  if (!inherits(run, "driftsim_run")) {
    stop_driftsim("parameter", "run must be a driftsim_run")
  }
  a_path(stem, "stem")
  if (is.null(run$parameters)) {
    stop_driftsim("parameter", "a run read from files has no parameters to write")
  }
  values <- engine_values(run$parameters, stem)
  arguments <- engine_arguments(values)
  arguments[names(values) == "OutFile"] <- sprintf("stem = %s", stem)
  files <- engine_value(.engine_write(values, arguments, run$genotypes, verbose))
  invisible(files)
}

read_run <- function(dat, par = NULL) {
  a_path(dat, "dat")
  if (is.null(par)) par <- paste0(sub("\\.dat$", "", dat), ".par")
  a_path(par, "par")
  for (file in c(dat, par)) {
    if (!file.exists(file)) stop_driftsim("file", sprintf("cannot open %s", file), file)
  }
  result <- engine_value(.engine_read(path.expand(dat), path.expand(par)))
  new_run(
    genotypes = result$genotypes, sample = result$sample, labels = result$labels,
    generations = as.numeric(result$generations)
  )
}
