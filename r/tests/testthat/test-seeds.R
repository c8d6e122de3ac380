# Seeds: set.seed() makes a run reproducible, the seed used is kept, and replicates take the
# seeds of the Python module's rule.
test_that("set.seed gives identical runs, and runs without it differ", {
  set.seed(1)
  a <- simulate_samples(ne = 100, num_loci = 20)
  set.seed(1)
  b <- simulate_samples(ne = 100, num_loci = 20)
  c <- simulate_samples(ne = 100, num_loci = 20)
  expect_identical(a, b)
  expect_false(identical(a$seed, c$seed))
  expect_false(identical(a$genotypes, c$genotypes))
  again <- simulate_samples(ne = 100, num_loci = 20, seed = a$seed)
  expect_identical(again$genotypes, a$genotypes)
  expect_identical(a$parameters$seed, a$seed)
})

test_that("replicates take replicate_seeds of the base seed, one run each", {
  runs <- simulate_samples(ne = 100, num_loci = 10, num_replicates = 3, seed = 42)
  seeds <- replicate_seeds(42, 3)
  expect_length(runs, 3)
  expect_identical(vapply(runs, `[[`, numeric(1), "seed"), seeds)
  expect_identical(vapply(runs, `[[`, integer(1), "replicate"), 1:3)
  expect_identical(runs[[2]]$genotypes,
                   simulate_samples(ne = 100, num_loci = 10, seed = seeds[[2]])$genotypes)
  expect_length(simulate_samples(num_loci = 10, num_replicates = 0, seed = 1), 0)
  # Adding replicates leaves the earlier ones' seeds as they were.
  expect_identical(replicate_seeds(42, 5)[1:3], seeds)
})

# The rule written out with another SHA-256 (Python's hashlib): replicate k takes the first
# valid, unused seed of sha256("base\0scenario\0k\0attempt")[:8] % 2147483646 + 1.
test_that("replicate_seeds follows the rule with Python's hashlib", {
  python <- Sys.which("python3")
  if (!nzchar(python)) skip("no python3")
  script <- paste(
    "import hashlib, sys",
    "def seed(b, s, k, a):",
    "    key = f'{b}\\0{s}\\0{k}\\0{a}'.encode()",
    "    return int.from_bytes(hashlib.sha256(key).digest()[:8], 'big') % 2147483646 + 1",
    "for b, s in ((42, ''), (-7, 'scenario'), (2147483646, 'x')):",
    "    print(' '.join(str(seed(b, s, k, 0)) for k in range(1, 5)))",
    sep = "\n"
  )
  file <- tempfile(fileext = ".py")
  writeLines(script, file)
  expected <- lapply(strsplit(system2(python, file, stdout = TRUE), " "), as.numeric)
  got <- list(replicate_seeds(42, 4), replicate_seeds(-7, 4, "scenario"),
              replicate_seeds(2147483646, 4, "x"))
  expect_identical(got, expected)
})

test_that("replicate_seeds gives the Python module's replicate seeds", {
  python <- Sys.getenv("DRIFTSIM_PYTHON")
  code <- paste("from driftsim import replicate_seeds as r;",
                "print(*r(42, 6), *r(7, 3, 'b'))")
  if (!nzchar(python) || system2(python, c("-c", shQuote(code)), stdout = FALSE,
                                 stderr = FALSE) != 0) {
    skip("DRIFTSIM_PYTHON names no Python module with replicate_seeds")
  }
  printed <- system2(python, c("-c", shQuote(code)), stdout = TRUE)
  expected <- as.numeric(strsplit(printed, " ")[[1]])
  expect_identical(c(replicate_seeds(42, 6), replicate_seeds(7, 3, "b")), expected)
})
