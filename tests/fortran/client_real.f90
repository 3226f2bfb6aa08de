! SPDX-License-Identifier: Apache-2.0
! The single-precision values of the Fortran client, the dataset among them.
subroutine real_calls()
  implicit none
  integer :: getch, found
  logical :: same
  real :: d1

  d1 = 0.0
  found = getch('d1', 'r', d1)
  call check(found == 1, 'getch of a real')
  call check(same(d1, 0.25), 'value of a real')
  call putch('d2', 'f', 0.004)
  call putch('o2', 'r', -1.5)
end subroutine real_calls

subroutine write_trace()
  implicit none
  integer :: srite, written, i
  real :: trace(10)
  trace = [(0.5 * i, i = 1, 10)]
  written = srite('out', trace, 40)
  call check(written == 40, 'srite of 10 samples')
end subroutine write_trace

subroutine read_trace()
  implicit none
  integer :: sreed, got, i
  logical :: same
  real :: trace(10)
  trace = 0.0
  got = sreed('in', trace, 40)
  call check(got == 40, 'sreed of 10 samples')
  do i = 1, 10
    call check(same(trace(i), 0.5 * i), 'samples read back')
  end do
end subroutine read_trace

! Bit for bit the same value.
logical function same(a, b)
  implicit none
  real, intent(in) :: a, b
  same = transfer(a, 0) == transfer(b, 0)
end function same
