# Where the repository's golden cases and programs are: DRIFTSIM_ROOT (the repository) and
# DRIFTSIM_BIN (the folder of driftsim-stats). Tests that need them skip without them.
repository <- function() {
  root <- Sys.getenv("DRIFTSIM_ROOT")
  if (!nzchar(root) || !dir.exists(file.path(root, "tests", "golden", "cases"))) {
    skip("DRIFTSIM_ROOT does not name the driftsim repository")
  }
  root
}

program <- function(name) {
  path <- file.path(Sys.getenv("DRIFTSIM_BIN"), name)
  if (!nzchar(Sys.getenv("DRIFTSIM_BIN")) || !file.exists(path)) {
    skip(paste("DRIFTSIM_BIN does not hold", name))
  }
  path
}

# The arguments of simulate_samples for a parameter file of the command line.
arguments_of_file <- function(path) {
  v <- sub("^\\s*(\\S+).*$", "\\1", readLines(path))
  n <- as.numeric(v[-11])
  names(n) <- c("Model", "Ne", "MigRate", "NumLoci", "NumAllele", "NumGen", "N0", "N1", "N2",
                "IDUM", "INIT_POINT", "MaxNe", "Monitor", "NumThread", "MisRate", "DropRate",
                "FalseRate", "FreqDist")
  list(
    model = n[["Model"]], ne = n[["Ne"]], mig_rate = n[["MigRate"]], num_loci = n[["NumLoci"]],
    num_alleles = n[["NumAllele"]], num_gen = n[["NumGen"]],
    sample_sizes = unname(n[c("N0", "N1", "N2")]), seed = n[["IDUM"]],
    init_point = n[["INIT_POINT"]], max_ne = n[["MaxNe"]], monitor = n[["Monitor"]],
    num_threads = n[["NumThread"]], error_rates = unname(n[c("MisRate", "DropRate", "FalseRate")]),
    freq_dist = n[["FreqDist"]]
  )
}

# Bytes of a file, for comparisons that must be exact.
file_bytes <- function(path) readBin(path, "raw", file.size(path))

# A fresh empty folder, removed when the calling test ends.
empty_folder <- function(env = parent.frame()) {
  dir <- tempfile("driftsim-test")
  dir.create(dir)
  withr::defer(unlink(dir, recursive = TRUE), envir = env)
  dir
}

# The run as read_run gives it back from its files, written in dir.
read_run_of <- function(run, dir) {
  stem <- tempfile("read", tmpdir = dir)
  write_run(run, stem)
  back <- read_run(paste0(stem, ".dat"))
  unlink(paste0(stem, c(".dat", ".par")))
  back
}
