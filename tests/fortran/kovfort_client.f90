! SPDX-License-Identifier: Apache-2.0
! A client of the library written the way the family's Fortran programs call
! it: implicit interfaces, blank-padded texts with hidden lengths, every
! argument by reference.  The routines are grouped into source files by the
! type of the values they pass, since one file may not hand the same routine
! values of different types.
!
! mode=write  checks lookups, program name and arguments, writes history
!             lines of every code and a small dataset to out
! mode=read   reads that dataset back from in and checks it
! mode=die    ends through koverr
program kovfort_client
  implicit none
  character(len=16) :: mode
  integer :: getch, found

  call initpar()
  mode = ' '
  found = getch('mode', 's', mode)
  call check(found == 1, 'getch of mode')

  select case (before_nul(mode))
  case ('write')
    call text_calls()
    call integer_calls()
    call real_calls()
    call double_calls()
    call write_trace()
  case ('read')
    call read_trace()
  case ('die')
    call koverr('something went wrong')
  case default
    call check(.false., 'unknown mode')
  end select

contains

  ! Lookups with code s write a terminated text without padding.
  pure function before_nul(text) result(kept)
    character(len=*), intent(in) :: text
    character(len=:), allocatable :: kept
    integer :: nul
    nul = index(text, char(0))
    if (nul == 0) then
      kept = trim(text)
    else
      kept = text(1:nul - 1)
    end if
  end function before_nul

  subroutine text_calls()
    character(len=4) :: short
    character(len=12) :: long
    character(len=6) :: arg
    character(len=20) :: label
    integer :: kovarg, status

    label = ' '
    found = getch('label', 's', label)
    call check(found == 1, 'getch of a string')
    call check(before_nul(label) == 'depth', 'value of a string')
    found = getch('nolabel', 's', label)
    call check(found == 0, 'getch of a missing string')

    short = 'xxxx'
    long = 'xxxxxxxxxxxx'
    call kov_prog(short)
    call kov_prog(long)
    call check(short == 'gene', 'kov_prog into 4 characters')
    call check(long == 'generator   ', 'kov_prog into 12 characters')

    status = kovarg(1, arg)
    call check(status == 0 .and. arg == 'mode=w', 'kovarg cut to its field')
    status = kovarg(99, arg)
    call check(status == 1, 'kovarg beyond the arguments')

    call putch('title', 's', 'abc       ')
  end subroutine text_calls

end program kovfort_client

subroutine check(ok, what)
  use iso_fortran_env, only: error_unit
  implicit none
  logical, intent(in) :: ok
  character(len=*), intent(in) :: what
  if (.not. ok) then
    write (error_unit, '(a,a)') 'FAILED: ', what
    stop 1
  end if
end subroutine check
