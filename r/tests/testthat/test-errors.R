# Bad values raise a classed condition with the program's message and write nothing.
test_that("bad values raise driftsim_parameter_error with the program's message", {
  cases <- list(
    list(args = list(ne = 1), message = "parameter Ne value out of range [2, 100000]!"),
    list(args = list(num_alleles = 1), message = "NumAllele value out of range [2, 127]!"),
    list(args = list(seed = 262144), message = paste(
      "Parameter IDUM must be nonzero, within [-2147483646, 2147483646] and not a multiple",
      "of 262144!"
    )),
    list(args = list(model = 2), message = "Model value must be 0 (isolation) or 1 (migration)!"),
    list(args = list(mig_rate = -1), message = "MigRate value out of range [0, 1]!"),
    list(args = list(error_rates = c(2, 0, 0)), message = "Parameter MisRate out of range [0, 1]!"),
    list(args = list(ne = 5000, max_ne = 3000), message = "Parameter MaxNe < Simulated Ne!"),
    list(args = list(burn_in = -1), message = "--burn-in: -1 is out of range (0 to 100000000)"),
    list(args = list(sizes = matrix(c(1, 0), ncol = 2)),
         message = "sizes:1: size 0 is out of range [2, 1000000]!"),
    list(args = list(ne = "x"), message = "ne must be a whole number and got \"x\""),
    list(args = list(num_loci = 1.5), message = "num_loci must be a whole number and got 1.5"),
    list(args = list(sample_sizes = c(1, 2)),
         message = "sample_sizes must be 3 whole numbers and got c(1, 2)"),
    list(args = list(threads = 0), message = "threads: 0 is not a thread count (1 to 1024)"),
    list(args = list(num_replicates = -1), message = "num_replicates must be 0 or more and got -1")
  )
  dir <- empty_folder()
  withr::with_dir(dir, {
    for (case in cases) {
      label <- paste(deparse(case$args), collapse = "")
      error <- expect_error(do.call(simulate_samples, utils::modifyList(list(num_loci = 10),
                                                                        case$args)),
                            class = "driftsim_parameter_error", label = label)
      expect_identical(conditionMessage(error), case$message, label = label)
    }
    expect_length(list.files(all.files = TRUE, no.. = TRUE), 0)
  })
})

test_that("write_run refuses what it cannot write and leaves no file", {
  dir <- empty_folder()
  run <- simulate_samples(ne = 50, num_loci = 10, seed = 1)
  bad_allele <- run
  bad_allele$genotypes[1, 1, 1] <- 11L
  dir.create(file.path(dir, "folder.dat"))
  cases <- list(
    list(run = run, stem = file.path(dir, "missing", "x"), class = "driftsim_write_error",
         message = "Cannot create file"),
    list(run = run, stem = file.path(dir, "folder"), class = "driftsim_file_error",
         message = "folder.dat"),
    list(run = bad_allele, stem = file.path(dir, "x"), class = "driftsim_parameter_error",
         message = "Allele 11 is not one of the 1 to 10 alleles"),
    list(run = read_run_of(run, dir), stem = file.path(dir, "y"),
         class = "driftsim_parameter_error", message = "no parameters to write")
  )
  before <- list.files(dir, recursive = TRUE, include.dirs = TRUE, all.files = TRUE)
  for (case in cases) {
    error <- expect_error(write_run(case$run, case$stem), class = case$class,
                          label = case$stem)
    expect_match(conditionMessage(error), case$message, fixed = TRUE, label = case$stem)
  }
  expect_setequal(list.files(dir, recursive = TRUE, include.dirs = TRUE, all.files = TRUE),
                  before)
  bad_allele$genotypes[1, 1, 1] <- 300L
  expect_error(run_stats(bad_allele), class = "driftsim_parameter_error",
               regexp = "Allele 300 is not an allele number (1 to 255)!", fixed = TRUE)
})

test_that("read_run refuses a file it cannot read as a driftsim_file_error", {
  dir <- empty_folder()
  run <- simulate_samples(ne = 50, num_loci = 10, seed = 1)
  write_run(run, file.path(dir, "good"))
  writeLines("S1_1 1 2 x", file.path(dir, "bad.dat"))
  file.copy(file.path(dir, "good.par"), file.path(dir, "bad.par"))
  cases <- list(
    list(dat = file.path(dir, "none.dat"), message = "cannot open"),
    list(dat = file.path(dir, "bad.dat"), message = "bad.dat")
  )
  for (case in cases) {
    error <- expect_error(read_run(case$dat), class = "driftsim_file_error", label = case$dat)
    expect_match(conditionMessage(error), case$message, fixed = TRUE, label = case$dat)
  }
})

test_that("nothing is printed unless verbose = TRUE", {
  quiet <- capture.output(type = "message", {
    printed <- capture.output(run <- simulate_samples(ne = 50, num_loci = 10, seed = 1))
  })
  expect_length(printed, 0)
  expect_length(quiet, 0)
  loud <- capture.output(type = "message", {
    run <- simulate_samples(ne = 50, num_loci = 10, seed = 1, verbose = TRUE)
  })
  expect_match(loud, "^(initialise|generations): [0-9]+/[0-9]+", all = FALSE)
})
